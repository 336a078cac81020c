// Shared pieces of the MCP client tests: paths of the built bundle, a temporary HOME per test,
// the reference app's processes, and an SDK client talking to Quillon over stdio.
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

export const buildDir = process.env.LUMORA_BUILD_DIR ?? path.resolve(import.meta.dirname, '../../build');
export const bundle = path.join(buildDir, 'Lumora.app');
export const quillon = path.join(bundle, 'Contents/Helpers/Quillon');
export const lumora = path.join(bundle, 'Contents/MacOS/Lumora');

const infoPlist = fs.readFileSync(path.join(bundle, 'Contents/Info.plist'), 'utf8');
export const bundleIdentifier = /<key>CFBundleIdentifier<\/key>\s*<string>([^<]*)<\/string>/.exec(infoPlist)[1];

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `check` until it holds or `ms` have passed; returns whether it held.
export async function eventually(check, ms = 10000, every = 50) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (await check()) return true;
    if (Date.now() >= deadline) return false;
    await sleep(every);
  }
}

export class Home {
  constructor() {
    // Short: the socket path below it must stay within the platform's limit.
    this.dir = fs.mkdtempSync('/tmp/qn-');
    this.clients = [];
    // The test pattern, whatever desktop the machine runs: the tests know its displays.
    this.writeSettings({});
  }
  get endpointDir() { return path.join(this.dir, '.local/share', bundleIdentifier); }
  get socket() { return path.join(this.endpointDir, 'automation.sock'); }
  get env() { return { HOME: this.dir, PATH: process.env.PATH }; }

  writeSettings(settings) {
    fs.mkdirSync(this.endpointDir, { recursive: true, mode: 0o700 });
    fs.writeFileSync(path.join(this.endpointDir, 'settings.json'),
                     JSON.stringify({ captureBackend: 'synthetic', ...settings }));
  }
  enableTrace() {
    fs.mkdirSync(this.endpointDir, { recursive: true, mode: 0o700 });
    fs.writeFileSync(path.join(this.endpointDir, 'mcp-trace.enabled'), '');
  }
  traceLines() {
    const log = path.join(this.endpointDir, 'mcp-trace.log');
    return fs.existsSync(log) ? fs.readFileSync(log, 'utf8').split('\n').filter(Boolean) : [];
  }

  socketAnswers() {
    return new Promise((resolve) => {
      const probe = net.connect(this.socket);
      probe.once('connect', () => { probe.destroy(); resolve(true); });
      probe.once('error', () => resolve(false));
    });
  }

  // The reference app started by hand, as a user would.
  async startApp(...args) {
    const child = spawn(lumora, args, { env: this.env, stdio: 'ignore' });
    child.unref();
    if (!(await eventually(() => this.socketAnswers(), 15000))) throw new Error('Lumora did not open its socket');
    return child.pid;
  }

  // Processes of this bundle's app running with this HOME, however they were started.
  appPids() {
    if (!fs.existsSync(lumora)) return [];
    const exe = fs.realpathSync(lumora);
    const pids = [];
    for (const entry of fs.readdirSync('/proc')) {
      if (!/^\d+$/.test(entry)) continue;
      try {
        if (fs.readlinkSync(`/proc/${entry}/exe`) !== exe) continue;
        const environ = fs.readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0');
        if (environ.includes(`HOME=${this.dir}`)) pids.push(Number(entry));
      } catch { /* gone meanwhile, or not ours */ }
    }
    return pids;
  }

  async killApps(signal = 'SIGKILL') {
    for (const pid of this.appPids()) {
      try { process.kill(pid, signal); } catch { /* already gone */ }
    }
    await eventually(() => this.appPids().length === 0, 10000);
  }

  async connect({ pinVersion, env, record } = {}) {
    const stdio = new StdioClientTransport({ command: quillon, args: [], env: { ...this.env, ...env }, stderr: 'pipe' });
    let transport = pinVersion ? new VersionPinning(stdio, pinVersion) : stdio;
    if (record) transport = new Recording(transport);
    const client = new Client({ name: 'lumora-tests', version: '1.0.0' });
    await client.connect(transport);
    this.clients.push(client);
    return { client, transport };
  }

  async dispose() {
    for (const client of this.clients) await client.close().catch(() => {});
    await this.killApps();
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Asks for another protocol version in "initialize" than the SDK's own newest one.
class VersionPinning {
  constructor(inner, version) {
    this.inner = inner;
    this.version = version;
    this.negotiated = undefined;
  }
  set onmessage(handler) { this.inner.onmessage = handler; }
  set onclose(handler) { this.inner.onclose = handler; }
  set onerror(handler) { this.inner.onerror = handler; }
  start() { return this.inner.start(); }
  close() { return this.inner.close(); }
  setProtocolVersion(version) { this.negotiated = version; }
  send(message, options) {
    if (message.method === 'initialize') message = { ...message, params: { ...message.params, protocolVersion: this.version } };
    return this.inner.send(message, options);
  }
}

// Keeps every message in both directions, in order, with the time it passed.
export class Recording {
  constructor(inner) {
    this.inner = inner;
    this.log = [];
  }
  set onmessage(handler) {
    this.inner.onmessage = (message, extra) => {
      this.log.push({ direction: 'in', at: Date.now(), message });
      handler(message, extra);
    };
  }
  set onclose(handler) { this.inner.onclose = handler; }
  set onerror(handler) { this.inner.onerror = handler; }
  get sessionId() { return this.inner.sessionId; }
  start() { return this.inner.start(); }
  close() { return this.inner.close(); }
  setProtocolVersion(version) { this.inner.setProtocolVersion?.(version); }
  send(message, options) {
    this.log.push({ direction: 'out', at: Date.now(), message });
    return this.inner.send(message, options);
  }
  // The progress notifications that arrived, in order.
  progress() {
    return this.log.filter((e) => e.direction === 'in' && e.message.method === 'notifications/progress');
  }
  // Where in the log the reply to request `id` is.
  replyIndex(id) {
    return this.log.findIndex((e) => e.direction === 'in' && e.message.id === id && !e.message.method);
  }
  // The id of the tools/call whose arguments hold `sessionId` and `waitSeconds`.
  callId(predicate) {
    return this.log.find((e) => e.direction === 'out' && e.message.method === 'tools/call' && predicate(e.message.params))?.message.id;
  }
}

// One tool call; the text parsed as JSON beside it.
export async function call(client, name, args = {}, options = {}) {
  const result = await client.callTool({ name, arguments: args }, undefined, { timeout: 60000, ...options });
  const text = result.content[0].text;
  return { isError: result.isError, text, json: JSON.parse(text), result };
}
