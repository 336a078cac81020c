// recorder_recording_status through the official SDK client: Quillon against peer-server.mjs,
// both bridging to one reference app, calls taken in turn so that both meet the same machine.
// Run it pinned (`taskset -c 0 node compare.mjs BUNDLE [CALLS]`): the client, both servers and
// the app then share one processor. Reports medians and their ratio; asserts nothing.
import { createRequire } from 'node:module';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

const require = createRequire(path.resolve(import.meta.dirname, '../../../tests/mcp-client/package.json'));
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

const bundle = path.resolve(process.argv[2] ?? 'build-release/Lumora.app');
const calls = Number(process.argv[3] ?? 3000);
const plist = fs.readFileSync(path.join(bundle, 'Contents/Info.plist'), 'utf8');
const identifier = /<key>CFBundleIdentifier<\/key>\s*<string>([^<]*)<\/string>/.exec(plist)[1];
const home = fs.mkdtempSync('/tmp/qpeer-');
const socket = path.join(home, '.local/share', identifier, 'automation.sock');
const env = { HOME: home, PATH: process.env.PATH, PEER_SOCKET: socket };

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const answers = () => new Promise((resolve) => {
  const probe = net.connect(socket);
  probe.once('connect', () => { probe.destroy(); resolve(true); });
  probe.once('error', () => resolve(false));
});

const app = spawn(path.join(bundle, 'Contents/MacOS/Lumora'), [], { env, stdio: 'ignore' });
try {
  for (let i = 0; i < 300 && !(await answers()); ++i) await sleep(50);
  const connect = async (command, args) => {
    const client = new Client({ name: 'bench', version: '1.0.0' });
    await client.connect(new StdioClientTransport({ command, args, env, stderr: 'inherit' }));
    return client;
  };
  const servers = {
    Quillon: await connect(path.join(bundle, 'Contents/Helpers/Quillon'), []),
    'TypeScript SDK peer': await connect(process.execPath, [path.join(import.meta.dirname, 'peer-server.mjs')]),
  };
  const samples = Object.fromEntries(Object.keys(servers).map((name) => [name, []]));
  for (let i = -200; i < calls; ++i) { // the first 200 of each warm up
    for (const [name, client] of Object.entries(servers)) {
      const begin = process.hrtime.bigint();
      const result = await client.callTool({ name: 'recorder_recording_status', arguments: {} });
      const took = Number(process.hrtime.bigint() - begin) / 1000;
      if (result.isError) throw new Error(`${name}: ${result.content[0].text}`);
      if (i >= 0) samples[name].push(took);
    }
  }
  const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const p99 = (values) => values.sort((a, b) => a - b)[Math.floor(values.length * 99 / 100)];
  for (const [name, values] of Object.entries(samples))
    console.log(`${name}: p50 ${median(values).toFixed(1)} us, p99 ${p99(values).toFixed(1)} us (${values.length} calls)`);
  const ratio = median(samples['TypeScript SDK peer']) / median(samples.Quillon);
  console.log(`TypeScript SDK peer p50 / Quillon p50: ${ratio.toFixed(2)}`);
  for (const client of Object.values(servers)) await client.close();
} finally {
  app.kill('SIGTERM');
  await sleep(500);
  fs.rmSync(home, { recursive: true, force: true });
}
