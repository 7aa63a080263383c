// Every way to take the same four steps, side by side on one headless
// Chromium and one local page: the companion over its local HTTP, over MCP
// (/mcp and the stdio bridge, with the protocol's TypeScript SDK as client),
// the raw requests the companion sends for each step on its kept connection
// to the tool's background process (the floor), the same steps through the
// tool's own program, a process per run (as before), @playwright/mcp
// (--cdp-endpoint) and chrome-devtools-mcp (--browser-url). They take turns
// in alternating rounds; each server has its own tab (the companion's
// channels and the raw sequence share its one work tab).
//   node bench/mcp_bench.mjs COMPANION_EXECUTABLE [ROUNDS]
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

import { StdioClientTransport, call, chromePort, connect, quantile, root, sleep, startStage, textOf, timed, toFront,
         transports } from './mcp_stage.mjs';

const [companionExe, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg || 10);

const items = Array.from({ length: 60 }, (_, i) =>
  `<li><a href="#item${i}">Item ${i}</a> <input aria-label="Note ${i}"></li>`).join('');
const page = `<!doctype html><title>Bench page</title><h1>Bench page</h1>
<button onclick="this.textContent='Pressed'">Press me</button><ul>${items}</ul>`;
const stage = await startStage(companionExe, (req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });
const pageUrl = `${stage.pageBase}/bench.html`;
const { companion } = stage;
const transport = transports(stage);

// Resident memory of a process and everything started under it, in KiB.
const procs = () => fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map((pid) => {
  try {
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
    return { pid: Number(pid), ppid: Number(status.match(/PPid:\s+(\d+)/)[1]),
             rss: Number((status.match(/VmRSS:\s+(\d+)/) || [0, 0])[1]), cmdline };
  } catch { return null; }
}).filter(Boolean);
const fromStage = (pid) => {
  try { return fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(`HOME=${stage.home}`); } catch { return false; }
};
const treeRss = (rootPid, also = () => false) => {
  const all = procs();
  const inTree = new Set([rootPid]);
  for (let grew = true; grew;) {
    grew = false;
    for (const p of all) if (!inTree.has(p.pid) && inTree.has(p.ppid)) { inTree.add(p.pid); grew = true; }
  }
  return all.filter((p) => inTree.has(p.pid) || also(p)).reduce((sum, p) => sum + p.rss, 0);
};

// The companion's answers over HTTP, in the form of a tool result.
const post = async (route, body = {}) => {
  const reply = await fetch(`http://127.0.0.1:8766${route}`, { method: 'POST', body: JSON.stringify(body),
                                                              headers: { 'Content-Type': 'application/json' } });
  const answer = await reply.json();
  if (!answer.ok) throw new Error(`${route}: ${String(answer.text).slice(0, 300)}`);
  return { content: [{ type: 'text', text: answer.text }, ...(answer.image ? [{ type: 'image' }] : [])] };
};

// The tool by hand, on the companion's own session and work tab: the same
// processes, with the same standard input, that the companion runs for each
// step, so that both meet the same page in the same state.
const toolBinary = path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64');
const tool = (args, commands) => new Promise((resolve) => {
  const child = spawn(toolBinary, ['--cdp', String(chromePort), '--session', 'corvane', ...args], { env: stage.env });
  let out = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  child.on('close', () => resolve(out));
  child.stdin.end(JSON.stringify(commands));
});
const batch = async (commands) => JSON.parse(await tool(['batch', '--json'], commands));
const textRun = (command) => tool(['batch'], [command]);
const listing = ['tab', 'list'];
const snapshotArgs = ['snapshot', '-i', '-c'];
const asResult = (text, image) => ({ content: [{ type: 'text', text }, ...(image ? [{ type: 'image' }] : [])] });
const shotFile = path.join(stage.home, 'raw-view.jpg');

// The same runs as requests on one kept connection to the session's
// background process: for each run the launch request, then its commands,
// each reply read before the next request goes.
const keptSocket = path.join(stage.home, '.agent-browser', 'corvane.sock');
const keptLine = { socket: null, buffer: '', waiting: null, id: 0 };
const keptRun = async (requests) => {
  if (!keptLine.socket) {
    keptLine.socket = await new Promise((resolve, reject) => {
      const socket = net.createConnection(keptSocket, () => resolve(socket));
      socket.once('error', reject);
    });
    keptLine.socket.setEncoding('utf8');
    keptLine.socket.on('data', (chunk) => {
      keptLine.buffer += chunk;
      const end = keptLine.buffer.indexOf('\n');
      if (end >= 0 && keptLine.waiting) {
        const line = keptLine.buffer.slice(0, end);
        keptLine.buffer = keptLine.buffer.slice(end + 1);
        const done = keptLine.waiting;
        keptLine.waiting = null;
        done(JSON.parse(line));
      }
    });
  }
  const replies = [];
  for (const request of [{ action: 'launch', cdpPort: chromePort }, ...requests.map((r) => ({ ...r, plugins: [] }))]) {
    replies.push(await new Promise((resolve) => {
      keptLine.waiting = resolve;
      keptLine.socket.write(`${JSON.stringify({ ...request, id: `k${++keptLine.id}` })}\n`);
    }));
  }
  return replies.slice(1);
};
const kept = { list: { action: 'tab_list' }, snapshot: { action: 'snapshot', interactive: true, compact: true },
               url: { action: 'url' }, title: { action: 'title' } };

const companionSteps = {
  tag: 'companion',
  // The tool's daemon is not the companion's child: it is the one started from this stage's home.
  rss: () => treeRss(companion.pid, (p) => p.cmdline.includes('agent-browser') && fromStage(p.pid)),
  ref: (text) => (text.match(/button "Press me"[^\n]*\[ref=(e\d+)\]/) || [])[1],
};
const overMcp = {
  ...companionSteps,
  open: (c) => call(c, 'browser_open', { url: `${pageUrl}?companion` }),
  snapshot: (c) => call(c, 'browser_snapshot'),
  click: (c, ref) => call(c, 'browser_click', { ref }),
  look: (c) => call(c, 'browser_snapshot'),
  screenshot: (c) => call(c, 'browser_view'),
};

// Each server's own words for the four steps.
const servers = [
  {
    name: 'companion HTTP',
    ...companionSteps,
    open: () => post('/open', { url: `${pageUrl}?companion` }),
    snapshot: () => post('/snapshot'),
    click: (c, ref) => post('/click', { ref }),
    look: () => post('/snapshot'),
    screenshot: () => post('/view'),
  },
  { name: 'companion MCP /mcp', transport: transport.companion, ...overMcp },
  {
    name: 'companion MCP stdio',
    transport: () => new StdioClientTransport({ command: companionExe, args: ['mcp'], env: stage.env, stderr: 'ignore' }),
    ...overMcp,
  },
  {
    name: 'raw tool sequence',
    tag: 'companion',
    rss: () => 0,
    open: async () => {
      await batch([listing]);
      return asResult(await textRun(['open', `${pageUrl}?companion`]));
    },
    snapshot: async () => asResult((await batch([listing, snapshotArgs]))[1].result.snapshot),
    ref: (text) => (text.match(/button "Press me"[^\n]*\[ref=(e\d+)\]/) || [])[1],
    click: async (c, ref) => {
      await batch([listing, snapshotArgs]);
      await textRun(['click', ref]);
      await sleep(300);
      const reads = await batch([snapshotArgs, ['get', 'url'], ['get', 'title'], listing]);
      return asResult(reads[0].result.snapshot);
    },
    look: async () => asResult((await batch([listing, snapshotArgs]))[1].result.snapshot),
    screenshot: async () => {
      fs.rmSync(shotFile, { force: true });
      const out = await tool(['--screenshot-format', 'jpeg', '--screenshot-quality', '55', 'batch', '--json'],
                             [listing, ['get', 'title'], ['get', 'url'], ['screenshot', shotFile]]);
      if (!fs.existsSync(shotFile)) throw new Error(`raw screenshot: ${out.slice(-600)}`);
      const image = fs.readFileSync(shotFile).toString('base64');
      fs.rmSync(shotFile);
      return asResult('', image);
    },
  },
  {
    name: 'raw kept requests',
    tag: 'companion',
    rss: () => 0,
    open: async () => {
      await keptRun([kept.list]);
      const [opened] = await keptRun([{ action: 'navigate', url: `${pageUrl}?companion` }]);
      return asResult(`${opened.data.title}`);
    },
    snapshot: async () => asResult((await keptRun([kept.list, kept.snapshot]))[1].data.snapshot),
    ref: (text) => (text.match(/button "Press me"[^\n]*\[ref=(e\d+)\]/) || [])[1],
    click: async (c, ref) => {
      await keptRun([kept.list, kept.snapshot]);
      await keptRun([{ action: 'click', selector: ref }]);
      await sleep(300);
      return asResult((await keptRun([kept.snapshot, kept.url, kept.title, kept.list]))[0].data.snapshot);
    },
    look: async () => asResult((await keptRun([kept.list, kept.snapshot]))[1].data.snapshot),
    screenshot: async () => {
      fs.rmSync(shotFile, { force: true });
      await keptRun([kept.list, kept.title, kept.url, { action: 'screenshot', path: shotFile, format: 'jpeg', quality: 55,
                                                        annotate: false, fullPage: false, selector: null }]);
      const image = fs.readFileSync(shotFile).toString('base64');
      fs.rmSync(shotFile);
      return asResult('', image);
    },
  },
  {
    name: '@playwright/mcp',
    tag: 'playwright',
    transport: transport.playwright,
    open: (c) => call(c, 'browser_navigate', { url: `${pageUrl}?playwright` }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: (text) => (text.match(/button "Press me"[^\n]*\[ref=(\w+)\]/) || [])[1],
    click: (c, ref) => call(c, 'browser_click', { element: 'Press me button', target: ref }),
    look: (c) => call(c, 'browser_snapshot'),
    screenshot: (c) => call(c, 'browser_take_screenshot', { type: 'jpeg', scale: 'css' }),
  },
  {
    name: 'chrome-devtools-mcp',
    tag: 'devtools',
    transport: transport.devtools,
    setup: async (server, c) => {
      const text = textOf(await call(c, 'new_page', { url: 'about:blank' }));
      const selected = text.split('\n').find((line) => line.includes('[selected]')) || '';
      server.pageId = Number((selected.match(/^(\d+):/) || [])[1]);
    },
    open: (c, s) => call(c, 'navigate_page', { pageId: s.pageId, type: 'url', url: `${pageUrl}?devtools` }),
    snapshot: (c, s) => call(c, 'take_snapshot', { pageId: s.pageId }),
    ref: (text) => (text.match(/uid=(\S+) button "Press me"/) || [])[1],
    click: (c, ref, s) => call(c, 'click', { pageId: s.pageId, uid: ref, includeSnapshot: true }),
    look: (c, s) => call(c, 'take_snapshot', { pageId: s.pageId }),
    screenshot: (c, s) => call(c, 'take_screenshot', { pageId: s.pageId, format: 'jpeg' }),
  },
];

const steps = ['open', 'snapshot', 'click+see', 'screenshot'];
try {
  for (const server of servers) {
    if (server.transport) {
      server.client = await connect(server.transport());
      server.pid = server.client.transport?.pid ?? server.client._transport?.pid;
    }
    if (server.setup) await server.setup(server, server.client);
    server.times = Object.fromEntries(steps.map((step) => [step, []]));
    server.rssPeak = 0;
  }
  for (let round = 0; round < rounds; ++round) {
    const order = round % 2 === 0 ? servers : [...servers].reverse();
    for (const s of order) {
      const c = s.client;
      await toFront(s.tag);
      const [openMs] = await timed(() => s.open(c, s));
      await toFront(s.tag);
      const [snapMs, snap] = await timed(() => s.snapshot(c, s));
      s.snapshotChars = textOf(snap).length;
      const ref = s.ref(textOf(snap));
      if (!ref) throw new Error(`${s.name}: no ref for the button in\n${textOf(snap).slice(0, 600)}`);
      const [clickMs] = await timed(async () => {
        if (textOf(await s.click(c, ref, s)).includes('Pressed')) return;
        if (!textOf(await s.look(c, s)).includes('Pressed')) throw new Error(`${s.name}: the click did not show`);
      });
      await toFront(s.tag);
      const [shotMs, shot] = await timed(() => s.screenshot(c, s));
      if (!(shot.content || []).some((part) => part.type === 'image')) throw new Error(`${s.name}: no image`);
      s.times.open.push(openMs);
      s.times.snapshot.push(snapMs);
      s.times['click+see'].push(clickMs);
      s.times.screenshot.push(shotMs);
      const rss = s.rss ? s.rss() : treeRss(s.pid);
      s.rssPeak = Math.max(s.rssPeak, rss);
    }
  }

  console.log(`Side by side: ${rounds} rounds, one headless Chromium, one page (60 items)`);
  console.log('server                 step         median ms   p90 ms');
  for (const s of servers) {
    for (const step of steps) {
      console.log(`${s.name.padEnd(22)} ${step.padEnd(12)} ${quantile(s.times[step], 0.5).toFixed(1).padStart(9)} ${quantile(s.times[step], 0.9).toFixed(1).padStart(8)}`);
    }
    if (s.rssPeak) console.log(`${s.name.padEnd(22)} snapshot ${s.snapshotChars} chars, resident ${(s.rssPeak / 1024).toFixed(1)} MiB`);
  }
  const median = (s, step) => quantile(s.times[step], 0.5);
  const floor = servers.find((s) => s.name === 'raw kept requests');
  for (const s of servers.filter((s) => s.tag === 'companion' && s !== floor)) {
    console.log(`${s.name} / raw kept requests: ${steps.map((step) => `${step} ${(median(s, step) / median(floor, step)).toFixed(3)}`).join(', ')}`);
  }
  const own = servers[0];
  for (const peer of servers.filter((s) => s.tag !== 'companion')) {
    const ratios = steps.map((step) => `${step} ${(median(own, step) / median(peer, step)).toFixed(2)}`);
    console.log(`companion / ${peer.name}: ${ratios.join(', ')}, snapshot chars ${(own.snapshotChars / peer.snapshotChars).toFixed(2)}, memory ${(own.rssPeak / peer.rssPeak).toFixed(2)}`);
  }

  // What the stdio bridge adds: the same message as a line through the
  // bridge and as a POST of the client's own, without an SDK on either side.
  const bridge = spawn(companionExe, ['mcp'], { env: stage.env, stdio: ['pipe', 'pipe', 'ignore'] });
  let pending = '';
  let answered = null;
  bridge.stdout.on('data', (chunk) => {
    pending += chunk;
    const end = pending.indexOf('\n');
    if (end >= 0 && answered) {
      pending = pending.slice(end + 1);
      const done = answered;
      answered = null;
      done();
    }
  });
  const overBridge = (message) => new Promise((resolve) => { answered = resolve; bridge.stdin.write(`${JSON.stringify(message)}\n`); });
  const overHttp = async (message) => (await fetch('http://127.0.0.1:8766/mcp', {
    method: 'POST', body: JSON.stringify(message),
    headers: { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream' } })).text();
  await overBridge({ jsonrpc: '2.0', id: 0, method: 'initialize',
                     params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'mcp-bench', version: '1' } } });
  const hops = { bridge: [], http: [] };
  for (let id = 1; id <= 200; ++id) {
    const message = { jsonrpc: '2.0', id, method: 'tools/list', params: {} };
    hops.bridge.push((await timed(() => overBridge(message)))[0]);
    hops.http.push((await timed(() => overHttp(message)))[0]);
  }
  bridge.kill();
  console.log(`tools/list, 200 times: through the stdio bridge ${quantile(hops.bridge, 0.5).toFixed(2)} ms, `
    + `a POST to /mcp ${quantile(hops.http, 0.5).toFixed(2)} ms (medians)`);

  // The tool's own time for a snapshot, without its process start: a batch
  // that takes it twice against one that takes it once, in the work tab.
  // (Not for the screenshot: a second one waits for the next frame.)
  await toFront('companion');
  const once = [];
  const twice = [];
  for (let i = 0; i < 2 * rounds; ++i) {
    once.push((await timed(() => batch([listing, snapshotArgs])))[0]);
    twice.push((await timed(() => batch([listing, snapshotArgs, snapshotArgs])))[0]);
  }
  console.log(`the tool's snapshot alone (a batch taking it twice, less once): ${(quantile(twice, 0.5) - quantile(once, 0.5)).toFixed(1)} ms (medians)`);
} finally {
  keptLine.socket?.destroy();
  for (const server of servers) await server.client?.close().catch(() => {});
  await stage.close();
}
