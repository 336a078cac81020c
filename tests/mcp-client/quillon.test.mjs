// Quillon driven by the official MCP TypeScript SDK, against the reference app on a temporary HOME.
import { after, afterEach, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';
import { Home, bundle, call, eventually, quillon, sleep } from './harness.mjs';

const openAppHint = 'Ask the user to open Lumora and enable local automation in settings.';

const readOnly = (title) => ({ title, readOnlyHint: true, openWorldHint: false });
const sessionId = { type: 'string' };
const catalogue = [
  {
    name: 'recorder_capabilities',
    description: 'Describe the Lumora app: whether local automation is enabled, whether screen-recording permission and first-run setup are complete, supported sources, limits, and any active session. Call this first.',
    inputSchema: { type: 'object', properties: {}, additionalProperties: false },
    annotations: readOnly('Recorder capabilities'),
  },
  {
    name: 'recorder_list_displays',
    description: 'List connected displays with the IDs required by recorder_start_recording. IDs are only valid until a display is disconnected or the app restarts; the first entry is the default display.',
    inputSchema: { type: 'object', properties: {}, additionalProperties: false },
    annotations: readOnly('List displays'),
  },
  {
    name: 'recorder_start_recording',
    description: "Start recording one display to a local MP4 (H.264, up to 1080p/30fps, saved in the user's chosen folder). Returns a session receipt; capture is confirmed only when status reports 'recording'. The recording continues in the app even if this client disconnects, until stopped or the duration limit (default 3600 s) is reached. The user always sees a visible recording indicator and can stop from the app.",
    inputSchema: {
      type: 'object',
      properties: {
        displayId: { type: 'string', description: 'Display ID from recorder_list_displays.' },
        durationSeconds: { type: 'integer', minimum: 1, maximum: 3600, description: 'Optional automatic stop after this many seconds of capture.' },
        systemAudio: { type: 'boolean', description: 'Include system audio (default false).' },
      },
      required: ['displayId'],
      additionalProperties: false,
    },
    annotations: { title: 'Start recording', readOnlyHint: false, destructiveHint: false, idempotentHint: false, openWorldHint: false },
  },
  {
    name: 'recorder_recording_status',
    description: 'Report the current recording state. With sessionId, report that automated session (state and elapsed seconds); without it, report whether any recording (manual or automated) is active.',
    inputSchema: { type: 'object', properties: { sessionId }, additionalProperties: false },
    annotations: readOnly('Recording status'),
  },
  {
    name: 'recorder_stop_recording',
    description: "Stop an automated recording session and begin saving. Only sessions started through automation can be stopped here; the user's own recordings cannot. Safe to call more than once.",
    inputSchema: { type: 'object', properties: { sessionId }, required: ['sessionId'], additionalProperties: false },
    annotations: { title: 'Stop recording', readOnlyHint: false, destructiveHint: false, idempotentHint: true, openWorldHint: false },
  },
  {
    name: 'recorder_recording_result',
    description: 'Fetch the outcome of an automated session. A saved result includes the local file path, duration, dimensions, size, and warnings. Set waitSeconds to block (polling once per second) until the session finishes or the wait expires.',
    inputSchema: {
      type: 'object',
      properties: { sessionId, waitSeconds: { type: 'integer', minimum: 0, maximum: 3600 } },
      required: ['sessionId'],
      additionalProperties: false,
    },
    annotations: readOnly('Recording result'),
  },
];

let home;
beforeEach(() => { home = new Home(); });
afterEach(async () => { await home.dispose(); });

async function statusUntil(client, sessionID, state, ms = 15000) {
  let last;
  const reached = await eventually(async () => {
    last = await call(client, 'recorder_recording_status', { sessionId: sessionID });
    return last.json.session?.state === state;
  }, ms, 200);
  assert.ok(reached, `session never reached ${state}: ${last?.text}`);
  return last;
}

describe('initialize and tools/list', () => {
  test("answers the client's own protocol version", async () => {
    const { client } = await home.connect();
    assert.equal(LATEST_PROTOCOL_VERSION, '2025-11-25');
    assert.deepEqual(client.getServerVersion(), { name: 'lumora', version: '1.3' });
    assert.match(client.getInstructions(), /^Controls the Lumora app on this computer\. Typical flow: recorder_capabilities \u2192 /);
    assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: false } });
  });

  test('answers an older supported version with that version', async () => {
    const { client, transport } = await home.connect({ pinVersion: '2024-11-05' });
    assert.equal(transport.negotiated, '2024-11-05');
    assert.deepEqual(client.getServerVersion(), { name: 'lumora', version: '1.3' });
  });

  test('lists the exact catalogue and does not contact the app', async () => {
    const { client } = await home.connect();
    const { tools } = await client.listTools();
    assert.deepEqual(tools, catalogue);
    assert.equal(home.appPids().length, 0);
  });
});

describe('a whole recording', () => {
  test('capabilities, displays, start, status, stop, result: a real file', async () => {
    await home.startApp();
    const { client } = await home.connect();
    const capabilities = await call(client, 'recorder_capabilities');
    assert.equal(capabilities.isError, false, capabilities.text);
    assert.equal(capabilities.json.automationEnabled, true);
    assert.match(capabilities.text, /^\{\n  "/); // pretty-printed, keys sorted

    const displays = await call(client, 'recorder_list_displays');
    assert.equal(displays.isError, false, displays.text);
    const display = displays.json.displays[0];
    assert.ok(display.id);

    const started = await call(client, 'recorder_start_recording', { displayId: display.id });
    assert.equal(started.isError, false, started.text);
    const sessionID = started.json.sessionId;
    assert.ok(sessionID);
    await statusUntil(client, sessionID, 'recording');
    await sleep(1200);

    const stopped = await call(client, 'recorder_stop_recording', { sessionId: sessionID });
    assert.equal(stopped.isError, false, stopped.text);
    const again = await call(client, 'recorder_stop_recording', { sessionId: sessionID });
    assert.equal(again.isError, false, again.text);

    const result = await call(client, 'recorder_recording_result', { sessionId: sessionID, waitSeconds: 30 });
    assert.equal(result.isError, false, result.text);
    assert.equal(result.json.state, 'saved', result.text);
    const file = result.json.recording.path;
    assert.ok(fs.existsSync(file), file);
    assert.ok(fs.statSync(file).size > 0);
    assert.equal(result.json.recording.sizeBytes ?? fs.statSync(file).size, fs.statSync(file).size);
    assert.ok(file.startsWith(home.dir), file);
  });
});

describe('argument conversions', () => {
  test('displayId as an integer, systemAudio "YES", durationSeconds "90"', async () => {
    await home.startApp();
    const { client } = await home.connect();
    const started = await call(client, 'recorder_start_recording', { displayId: 1, systemAudio: 'YES', durationSeconds: '90' });
    assert.equal(started.isError, false, started.text);
    assert.equal(started.json.source.id, '1');
    assert.equal(started.json.systemAudio, true);
    await call(client, 'recorder_stop_recording', { sessionId: started.json.sessionId });
    const result = await call(client, 'recorder_recording_result', { sessionId: started.json.sessionId, waitSeconds: 100000 });
    assert.equal(result.isError, false, result.text);
    assert.ok(['saved', 'failed', 'cancelled'].includes(result.json.state), result.text);
  });

  test('systemAudio "maybe" is false; durationSeconds 1.5 is left out', async () => {
    await home.startApp();
    const { client } = await home.connect();
    const started = await call(client, 'recorder_start_recording', { displayId: '1', systemAudio: 'maybe', durationSeconds: 1.5 });
    assert.equal(started.isError, false, started.text);
    assert.equal(started.json.systemAudio, false);
    await call(client, 'recorder_stop_recording', { sessionId: started.json.sessionId });
  });
});

describe('failure texts', () => {
  const failure = (code, message, hint) => ({ error: hint === undefined ? { code, message } : { code, hint, message } });

  test('missing arguments', async () => {
    await home.startApp();
    const { client } = await home.connect();
    for (const [tool, args, message] of [
      ['recorder_start_recording', {}, 'displayId is required.'],
      ['recorder_start_recording', { displayId: '' }, 'displayId is required.'],
      ['recorder_start_recording', { displayId: true }, 'displayId is required.'],
      ['recorder_stop_recording', {}, 'sessionId is required.'],
      ['recorder_recording_result', { waitSeconds: 3 }, 'sessionId is required.'],
    ]) {
      const answer = await call(client, tool, args);
      assert.equal(answer.isError, true);
      assert.deepEqual(answer.json, failure('invalid_request', message), `${tool} ${JSON.stringify(args)}`);
    }
  });

  test("Lumora's own refusal is passed on unchanged", async () => {
    home.writeSettings({ automationEnabled: false });
    await home.startApp();
    const { client } = await home.connect();
    const answer = await call(client, 'recorder_list_displays');
    assert.equal(answer.isError, true);
    assert.equal(answer.json.error.code, 'automation_disabled', answer.text);
    assert.equal(answer.json.error.message, "Local automation is turned off in Lumora's settings.");
  });

  test('a wait that runs out', async () => {
    await home.startApp();
    const { client } = await home.connect();
    const started = await call(client, 'recorder_start_recording', { displayId: '1' });
    assert.equal(started.isError, false, started.text);
    const answer = await call(client, 'recorder_recording_result', { sessionId: started.json.sessionId, waitSeconds: 1 });
    assert.equal(answer.isError, true);
    assert.deepEqual(answer.json, failure('timeout', 'The recording has not finished yet.', 'Call recorder_recording_result again, or stop the session.'));
    await call(client, 'recorder_stop_recording', { sessionId: started.json.sessionId });
  });

  test('an app that cannot be launched', async () => {
    // A bundle with Lumora's identity but no program inside.
    const fake = path.join(home.dir, 'Broken.app');
    fs.mkdirSync(path.join(fake, 'Contents'), { recursive: true });
    fs.copyFileSync(path.join(bundle, 'Contents/Info.plist'), path.join(fake, 'Contents/Info.plist'));
    const { client } = await home.connect({ env: { RECORDER_APP: fake } });
    const answer = await call(client, 'recorder_capabilities');
    assert.equal(answer.isError, true);
    assert.equal(answer.json.error.code, 'app_unavailable');
    assert.match(answer.json.error.message, /^Lumora could not be reached: launchFailed\(".+"\)$/);
    assert.equal(answer.json.error.hint, openAppHint);
  });

  test('an app that runs without an answering socket', async () => {
    await home.startApp();
    fs.rmSync(home.socket);
    const { client } = await home.connect();
    const answer = await call(client, 'recorder_capabilities');
    assert.deepEqual(answer.json, failure('app_unavailable',
      'Lumora is running, but this helper cannot reach its automation socket.',
      'Ask the user to confirm "Allow local automation" is on in Lumora settings. If your AI app runs tools in a restricted environment, allow this helper to reach Lumora\'s local connection.'));
  });
});

describe('cancellation and life cycle', () => {
  test('a result wait cancelled by the client is answered at once', async () => {
    home.enableTrace();
    await home.startApp();
    const { client } = await home.connect();
    const started = await call(client, 'recorder_start_recording', { displayId: '1' });
    assert.equal(started.isError, false, started.text);
    const abort = new AbortController();
    const waiting = call(client, 'recorder_recording_result', { sessionId: started.json.sessionId, waitSeconds: 600 }, { signal: abort.signal });
    await sleep(500);
    const begin = Date.now();
    abort.abort();
    await assert.rejects(waiting);
    // Quillon still answers the cancelled request, promptly, and goes on serving.
    assert.ok(await eventually(() => home.traceLines().some((l) => l.startsWith('>> ') && l.includes('The request was cancelled by the host.')), 3000));
    assert.ok(Date.now() - begin < 3000);
    const status = await call(client, 'recorder_recording_status', { sessionId: started.json.sessionId });
    assert.equal(status.isError, false, status.text);
    await call(client, 'recorder_stop_recording', { sessionId: started.json.sessionId });
  });

  test('the first call launches an app that is not running', async () => {
    assert.equal(home.appPids().length, 0);
    const { client } = await home.connect();
    const answer = await call(client, 'recorder_capabilities');
    assert.equal(answer.isError, false, answer.text);
    assert.equal(home.appPids().length, 1);
  });

  test('an app killed and started again between two calls is reached by the second attempt', async () => {
    await home.startApp();
    const { client } = await home.connect();
    const first = await call(client, 'recorder_recording_status');
    assert.equal(first.isError, false, first.text);
    const before = home.appPids();
    await home.killApps();
    const second = await call(client, 'recorder_recording_status');
    assert.equal(second.isError, false, second.text);
    const now = home.appPids();
    assert.equal(now.length, 1);
    assert.notDeepEqual(now, before);
  });
});

test('stdin closed with a call in flight: the call is answered, then Quillon exits 0', async () => {
  await home.startApp();
  const child = spawn(quillon, [], { env: home.env, stdio: ['pipe', 'pipe', 'inherit'] });
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const send = (message) => child.stdin.write(JSON.stringify({ jsonrpc: '2.0', ...message }) + '\n');
  send({ id: 1, method: 'initialize', params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 't', version: '1' } } });
  send({ method: 'notifications/initialized' });
  send({ id: 2, method: 'tools/call', params: { name: 'recorder_start_recording', arguments: { displayId: '1' } } });
  assert.ok(await eventually(() => output.split('\n').some((l) => l.includes('"id":2')), 10000), output);
  const receipt = JSON.parse(JSON.parse(output.split('\n').find((l) => l.includes('"id":2'))).result.content[0].text);
  send({ id: 3, method: 'tools/call', params: { name: 'recorder_recording_result', arguments: { sessionId: receipt.sessionId, waitSeconds: 600 } } });
  await sleep(500);
  const begin = Date.now();
  child.stdin.end();
  assert.equal(await exited, 0);
  assert.ok(Date.now() - begin < 5000);
  const reply = output.split('\n').filter(Boolean).map((l) => JSON.parse(l)).find((m) => m.id === 3);
  assert.ok(reply, output);
  assert.equal(reply.result.isError, true);
  assert.deepEqual(JSON.parse(reply.result.content[0].text), { error: { code: 'timeout', message: 'The request was cancelled by the host.' } });
  // Stop the recording the closed session left running.
  const { client } = await home.connect();
  await call(client, 'recorder_stop_recording', { sessionId: receipt.sessionId });
});

after(() => {});
