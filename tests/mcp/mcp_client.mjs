// An MCP client from the ecosystem (the protocol's TypeScript SDK) driving
// the companion, for the end-to-end tests and the benchmark.
//   node mcp_client.mjs SDK_DIR http URL PAGE_BASE [restart]
//   node mcp_client.mjs SDK_DIR stdio EXECUTABLE PAGE_BASE [restart | task NAME]
// Prints one JSON object: what each step gave back. With "restart" it calls
// a tool, prints "called", waits for a line on its input (the companion is
// restarted meanwhile), calls again on the same connection and reports both.
// With "task NAME" it does one assistant's task on /task-NAME.html: sends a
// word, follows the details the page opens in a new tab, and reads them.
import { createRequire } from 'node:module';
import path from 'node:path';

const [sdkDir, transportKind, target, pageBase, mode, taskName] = process.argv.slice(2);
const require = createRequire(path.join(sdkDir, 'index.js'));
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StreamableHTTPClientTransport } = require('@modelcontextprotocol/sdk/client/streamableHttp.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

const transport = transportKind === 'http'
  ? new StreamableHTTPClientTransport(new URL(target))
  : new StdioClientTransport({ command: target, args: ['mcp'], env: process.env, stderr: 'inherit' });
const client = new Client({ name: 'corvane-test-client', version: '1.0.0' });

const textOf = (result) => result.content.filter((c) => c.type === 'text').map((c) => c.text).join('\n');
const refOf = (snapshot, role, name) =>
  (snapshot.match(new RegExp(`${role} "${name}"[^\\n]*\\[ref=(e\\d+)\\]`)) || [])[1];
const call = async (name, args = {}) => {
  const result = await client.callTool({ name, arguments: args }, undefined, { timeout: 120000 });
  return { isError: result.isError === true, text: textOf(result), content: result.content,
           structured: result.structuredContent };
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const report = {};
const nextLine = () => new Promise((resolve) => process.stdin.once('data', resolve));
try {
  await client.connect(transport);
  if (mode === 'restart') {
    report.before = await call('browser_status');
    process.stdout.write('called\n');
    await nextLine();
    report.after = await call('browser_status');
    await client.close();
    throw null;
  }
  if (mode === 'task') {
    const steps = [];
    const step = async (name, args) => { const result = await call(name, args); steps.push(result); return result; };
    await step('browser_open', { url: `${pageBase}/task-${taskName}.html` });
    const form = await step('browser_snapshot');
    await step('browser_fill', { ref: refOf(form.text, 'textbox', 'Word'), text: `word-${taskName}` });
    await step('browser_click', { ref: refOf(form.text, 'button', 'Send') });
    const sent = await step('browser_snapshot');
    await step('browser_click', { ref: refOf(sent.text, 'link', 'Details') });
    await step('browser_snapshot');
    await step('browser_cli', { command: 'get title' });
    await step('browser_view');
    report.steps = steps;
    await client.close();
    throw null;
  }
  report.server = client.getServerVersion();
  const listed = await client.listTools();
  report.listChars = JSON.stringify(listed).length;
  report.tools = listed.tools.map((tool) => ({ name: tool.name, required: tool.inputSchema.required || [],
                                               annotations: tool.annotations }));

  report.open = await call('browser_open', { url: `${pageBase}/form.html` });
  const snapshot = await call('browser_snapshot');
  report.snapshot = snapshot;
  const field = refOf(snapshot.text, 'textbox', 'Query');
  const button = refOf(snapshot.text, 'button', 'Send');
  report.fill = await call('browser_fill', { ref: field, text: 'hello' });
  report.click = await call('browser_click', { ref: button });

  const view = await call('browser_view');
  const image = view.content.find((c) => c.type === 'image');
  const bytes = image ? Buffer.from(image.data, 'base64') : Buffer.alloc(0);
  report.view = { isError: view.isError, text: view.text, mimeType: image?.mimeType,
                  jpeg: bytes.length > 100 && bytes[0] === 0xff && bytes[1] === 0xd8 && bytes[2] === 0xff };
  report.cli = await call('browser_cli', { command: 'get title' });
  // A long call does not hold up a ping sent after it.
  const order = [];
  const slow = call('browser_cli', { command: 'wait 1500' }).then(() => order.push('call'));
  await client.ping();
  order.push('ping');
  await slow;
  report.order = order;

  await call('browser_open', { url: `${pageBase}/check.html` });
  report.check = await call('browser_snapshot');
  // A hand-over tells the client that it still waits, and the client can
  // call it off; the tab is free again afterwards.
  await call('browser_open', { url: `${pageBase}/form.html` });
  const controller = new AbortController();
  const progress = [];
  const handOver = client.callTool(
    { name: 'browser_hand_over', arguments: { reason: 'Solve the puzzle', wait: 120 } }, undefined,
    { timeout: 180000, signal: controller.signal,
      onprogress: (p) => { progress.push(p); controller.abort(); } })
    .then(() => 'answered', (error) => String(error.name || error));
  report.handOver = { ended: await handOver, progress: progress[0] };
  for (let tries = 0; tries < 400 && !report.afterHandOver; tries++) {
    const snapshot = await call('browser_snapshot');
    if (!snapshot.isError) report.afterHandOver = snapshot;
    else await sleep(25);
  }
  report.unknownTool = await client.callTool({ name: 'browser_nothing', arguments: {} }).then(
    () => 'answered', (error) => String(error.code));
  await client.close();
} catch (error) {
  if (error !== null)
    report.error = String(error?.stack || error);
}
for (const step of Object.values(report))
  if (step && typeof step === 'object') delete step.content;
process.stdout.write(JSON.stringify(report) + '\n');
process.exit(0);
