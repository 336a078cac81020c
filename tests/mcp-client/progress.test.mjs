// Progress notifications through the official SDK client: they keep a long result wait alive
// past the client's own request time-out, come at the promised cadence, grow, and reach only
// the call that asked for them.
import { afterEach, beforeEach, test } from 'node:test';
import assert from 'node:assert/strict';
import { Home, call } from './harness.mjs';

const heartbeatLimitMs = 5000; // the longest promised gap between two notifications of a wait
const requestTimeoutMs = 60000; // the SDK client's default

let home;
beforeEach(() => { home = new Home(); });
afterEach(async () => { await home.dispose(); });

// Progress grows, every notification of a wait says its state and time, and none is more than
// the heartbeat after the one before (or after the call was sent).
function assertCadence(notifications, sentAt, { total, states }) {
  assert.ok(notifications.length > 0);
  let lastAt = sentAt;
  let lastProgress = -Infinity;
  for (const { at, message } of notifications) {
    const { progress, total: given, message: text } = message.params;
    assert.ok(progress > lastProgress, `progress ${progress} after ${lastProgress}`);
    assert.ok(at - lastAt <= heartbeatLimitMs, `${at - lastAt} ms without a notification before ${JSON.stringify(message)}`);
    // The wait's end, counted from the call's start: the wait began a moment after the call.
    assert.ok(given >= total && given < total + 1, `total ${given} for a wait of ${total} s`);
    assert.ok(progress <= given);
    const match = /^Recording: (\w+) \(waited (\d+) s of (\d+) s\)$/.exec(text);
    assert.ok(match, text);
    assert.ok(states.includes(match[1]), text);
    assert.equal(Number(match[3]), total);
    // Progress counts from the call's start, the message from the wait's (total minus its length).
    const waited = progress - (given - total);
    assert.ok(Math.abs(Number(match[2]) - waited) <= 1, `${text} at progress ${progress} of ${given}`);
    lastAt = at;
    lastProgress = progress;
  }
}

test('a wait longer than the client\'s request time-out completes when progress resets the time-out', { timeout: 180000 }, async () => {
  await home.startApp();
  const { client, transport } = await home.connect({ record: true });
  const started = await call(client, 'recorder_start_recording', { displayId: '1', durationSeconds: 75 });
  assert.equal(started.isError, false, started.text);
  const sessionId = started.json.sessionId;

  const seen = [];
  const sentAt = Date.now();
  const result = await call(client, 'recorder_recording_result', { sessionId, waitSeconds: 150 }, {
    timeout: requestTimeoutMs,
    resetTimeoutOnProgress: true,
    onprogress: (progress) => seen.push(progress),
  });
  const tookMs = Date.now() - sentAt;
  assert.equal(result.isError, false, result.text);
  assert.equal(result.json.state, 'saved', result.text);
  assert.ok(tookMs > requestTimeoutMs, `the wait took only ${tookMs} ms`);

  const id = transport.callId((params) => params.arguments.waitSeconds === 150);
  const notifications = transport.progress();
  assert.ok(notifications.every((n) => n.message.params.progressToken === id));
  assert.equal(seen.length, notifications.length);
  assertCadence(notifications, sentAt, { total: 150, states: ['preparing', 'recording', 'stopping'] });
  const states = notifications.map((n) => /^Recording: (\w+)/.exec(n.message.params.message)[1]);
  // The states only move on (stopping may pass between two polls unseen).
  const order = ['preparing', 'recording', 'stopping'];
  assert.ok(states.includes('recording'), states.join(' '));
  assert.ok(states.every((state, i) => i === 0 || order.indexOf(state) >= order.indexOf(states[i - 1])), states.join(' '));
  // Every notification precedes the reply.
  const last = transport.log.lastIndexOf(notifications.at(-1));
  assert.ok(last < transport.replyIndex(id));
});

test('only the call that asked gets notifications, at the promised cadence, and none after its reply', async () => {
  await home.startApp();
  const { client, transport } = await home.connect({ record: true });
  const started = await call(client, 'recorder_start_recording', { displayId: '1' });
  assert.equal(started.isError, false, started.text);
  const sessionId = started.json.sessionId;

  const sentAt = Date.now();
  const [asking, silent, status] = await Promise.all([
    call(client, 'recorder_recording_result', { sessionId, waitSeconds: 11 }, { onprogress: () => {} }),
    call(client, 'recorder_recording_result', { sessionId, waitSeconds: 12 }),
    call(client, 'recorder_recording_status', { sessionId }),
  ]);
  for (const answer of [asking, silent]) assert.equal(answer.json.error?.code, 'timeout', answer.text);
  assert.equal(status.isError, false, status.text);
  await new Promise((resolve) => setTimeout(resolve, 1500));

  const askingId = transport.callId((params) => params.arguments.waitSeconds === 11);
  const silentId = transport.callId((params) => params.arguments.waitSeconds === 12);
  const asked = transport.log.filter((e) => e.direction === 'out' && e.message.params?._meta?.progressToken !== undefined);
  assert.deepEqual(asked.map((e) => e.message.id), [askingId]);
  const notifications = transport.progress();
  assert.ok(notifications.length >= 3, `${notifications.length} notifications in 11 s`);
  assert.ok(notifications.every((n) => n.message.params.progressToken === askingId));
  assertCadence(notifications, sentAt, { total: 11, states: ['preparing', 'recording'] });
  assert.ok(transport.log.lastIndexOf(notifications.at(-1)) < transport.replyIndex(askingId));
  assert.ok(transport.replyIndex(silentId) > 0);
  await call(client, 'recorder_stop_recording', { sessionId });
});

test('a call that launches Lumora reports the launch', async () => {
  assert.equal(home.appPids().length, 0);
  const { client, transport } = await home.connect({ record: true });
  const answer = await call(client, 'recorder_capabilities', {}, { onprogress: () => {} });
  assert.equal(answer.isError, false, answer.text);
  const notifications = transport.progress();
  assert.ok(notifications.length >= 1);
  const first = notifications[0].message.params;
  assert.match(first.message, /^Lumora: starting \(waited 0 s of 20 s\)$/);
  assert.ok(first.total >= 20 && first.total < 21, `total ${first.total}`);
  const id = transport.callId(() => true);
  assert.ok(transport.log.lastIndexOf(notifications.at(-1)) < transport.replyIndex(id));

  // Lumora runs now: a call that waits for nothing sends no notification even when it asks.
  const before = transport.progress().length;
  const status = await call(client, 'recorder_recording_status', {}, { onprogress: () => {} });
  assert.equal(status.isError, false, status.text);
  assert.equal(transport.progress().length, before);
});
