// The server a user would otherwise write: an MCP server on the official TypeScript SDK that
// bridges recorder_recording_status to the same app, one socket connection per call. Used only
// as the peer of Quillon in compare.mjs.
import { createRequire } from 'node:module';
import { randomUUID } from 'node:crypto';
import net from 'node:net';
import path from 'node:path';

const require = createRequire(path.resolve(import.meta.dirname, '../../../tests/mcp-client/package.json'));
const { Server } = require('@modelcontextprotocol/sdk/server/index.js');
const { StdioServerTransport } = require('@modelcontextprotocol/sdk/server/stdio.js');
const { CallToolRequestSchema, ListToolsRequestSchema } = require('@modelcontextprotocol/sdk/types.js');

const socketPath = process.env.PEER_SOCKET;

// Keys sorted at every level, two-space indent: the same text Quillon gives.
const sorted = (value) => Array.isArray(value) ? value.map(sorted)
  : value && typeof value === 'object' ? Object.fromEntries(Object.keys(value).sort().map((k) => [k, sorted(value[k])]))
  : value;

function exchange(request) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(socketPath);
    let buffer = '';
    socket.setEncoding('utf8');
    socket.on('connect', () => socket.write(JSON.stringify(request) + '\n'));
    socket.on('data', (chunk) => {
      buffer += chunk;
      const feed = buffer.indexOf('\n');
      if (feed >= 0) {
        socket.destroy();
        resolve(JSON.parse(buffer.slice(0, feed)));
      }
    });
    socket.on('error', reject);
  });
}

const server = new Server({ name: 'lumora-peer', version: '1.0.0' }, { capabilities: { tools: {} } });
server.setRequestHandler(ListToolsRequestSchema, async () => ({
  tools: [{ name: 'recorder_recording_status', description: 'Report the current recording state.', inputSchema: { type: 'object', properties: { sessionId: { type: 'string' } } } }],
}));
server.setRequestHandler(CallToolRequestSchema, async (request) => {
  const parameters = request.params.arguments?.sessionId ? { sessionId: request.params.arguments.sessionId } : {};
  const reply = await exchange({ protocolVersion: 1, requestId: randomUUID().toUpperCase(), command: 'status', parameters });
  const failed = reply.error !== undefined;
  return { content: [{ type: 'text', text: JSON.stringify(sorted(failed ? { error: reply.error } : reply.result), null, 2) }], isError: failed };
});
await server.connect(new StdioServerTransport());
