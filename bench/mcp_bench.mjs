// The same MCP client (the protocol's TypeScript SDK) against three servers
// on one headless Chromium and one local page: the companion's /mcp,
// @playwright/mcp (--cdp-endpoint) and chrome-devtools-mcp (--browser-url).
// The servers take turns in alternating rounds, each on its own tab.
//   node bench/mcp_bench.mjs COMPANION_EXECUTABLE [ROUNDS]
// Needs ./dev bench's .deps/mcp-client and .deps/mcp-peers, and agent-browser.
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const [companionExe, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg || 10);
const require = createRequire(path.join(root, '.deps/mcp-client/index.js'));
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StreamableHTTPClientTransport } = require('@modelcontextprotocol/sdk/client/streamableHttp.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');
const peers = path.join(root, '.deps/mcp-peers/node_modules/.bin');
const chromePort = 9222;

// A home of its own: the companion's profile folder is where Chromium runs.
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'mcp-bench-'));
fs.mkdirSync(path.join(home, '.local/bin'), { recursive: true });
fs.symlinkSync(path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64'), path.join(home, '.local/bin/agent-browser'));
const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: `${home}/config`, XDG_DATA_HOME: `${home}/data`,
              XDG_STATE_HOME: `${home}/state`, XDG_RUNTIME_DIR: '', QT_QPA_PLATFORM: 'offscreen' };

const items = Array.from({ length: 60 }, (_, i) =>
  `<li><a href="#item${i}">Item ${i}</a> <input aria-label="Note ${i}"></li>`).join('');
const page = `<!doctype html><title>Bench page</title><h1>Bench page</h1>
<button onclick="this.textContent='Pressed'">Press me</button><ul>${items}</ul>`;
const pages = http.createServer((req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });
await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));
const pageUrl = `http://127.0.0.1:${pages.address().port}/bench.html`;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const chromium = spawn('/usr/lib/chromium/chromium', [
  '--headless=new', '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-background-timer-throttling', '--disable-renderer-backgrounding', '--disable-backgrounding-occluded-windows',
  '--no-first-run', '--no-default-browser-check', `--remote-debugging-port=${chromePort}`,
  `--user-data-dir=${home}/.corvane-companion-chrome`, ...(process.getuid() === 0 ? ['--no-sandbox'] : []), 'about:blank'],
  { env, stdio: 'ignore' });
for (let i = 0; i < 100; ++i) {
  if (await fetch(`http://127.0.0.1:${chromePort}/json/version`).then((r) => r.ok, () => false)) break;
  await sleep(100);
}
const companion = spawn(companionExe, ['--headless'], { env, stdio: 'ignore' });
for (let i = 0; i < 100; ++i) {
  if (await fetch('http://127.0.0.1:8766/health').then((r) => r.ok, () => false)) break;
  await sleep(100);
}

// Resident memory of a process and everything started under it, in KiB.
const procs = () => fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map((pid) => {
  try {
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
    return { pid: Number(pid), ppid: Number(status.match(/PPid:\s+(\d+)/)[1]),
             rss: Number((status.match(/VmRSS:\s+(\d+)/) || [0, 0])[1]), cmdline };
  } catch { return null; }
}).filter(Boolean);
const treeRss = (rootPid, also = () => false) => {
  const all = procs();
  const inTree = new Set([rootPid]);
  for (let grew = true; grew;) {
    grew = false;
    for (const p of all) if (!inTree.has(p.pid) && inTree.has(p.ppid)) { inTree.add(p.pid); grew = true; }
  }
  return all.filter((p) => inTree.has(p.pid) || also(p)).reduce((sum, p) => sum + p.rss, 0);
};

const textOf = (result) => (result.content || []).filter((c) => c.type === 'text').map((c) => c.text).join('\n');
const connect = async (transport) => {
  const client = new Client({ name: 'mcp-bench', version: '1.0.0' });
  await client.connect(transport);
  return client;
};
const call = async (client, name, args = {}) => {
  const result = await client.callTool({ name, arguments: args }, undefined, { timeout: 120000 });
  if (result.isError) throw new Error(`${name}: ${textOf(result).slice(0, 300)}`);
  return result;
};

// Each server's own words for the four steps.
const servers = [
  {
    name: 'companion',
    tag: 'companion',
    transport: () => new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8766/mcp')),
    rss: () => treeRss(companion.pid, (p) => p.cmdline.includes('agent-browser')),
    open: (c) => call(c, 'browser_open', { url: `${pageUrl}?companion` }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: (text) => (text.match(/button "Press me"[^\n]*\[ref=(e\d+)\]/) || [])[1],
    click: (c, ref) => call(c, 'browser_click', { ref }),
    look: (c) => call(c, 'browser_snapshot'),
    screenshot: (c) => call(c, 'browser_view'),
  },
  {
    name: '@playwright/mcp',
    tag: 'playwright',
    // Run from the temporary home: the server writes its snapshots below its working folder.
    transport: () => new StdioClientTransport({ command: `${peers}/playwright-mcp`, env, cwd: home,
                                                args: ['--cdp-endpoint', `http://127.0.0.1:${chromePort}`], stderr: 'ignore' }),
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
    transport: () => new StdioClientTransport({ command: `${peers}/chrome-devtools-mcp`, env, cwd: home, stderr: 'ignore',
                                                args: ['--browser-url', `http://127.0.0.1:${chromePort}`,
                                                       '--no-usage-statistics', '--no-performance-crux'] }),
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

const timed = async (work) => {
  const start = performance.now();
  const value = await work();
  return [performance.now() - start, value];
};
const quantile = (values, q) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
};

// A headless Chromium paints only its front tab: each server's turn brings
// its own tab to the front first (outside the timings).
const toFront = async (tag) => {
  const tabs = await fetch(`http://127.0.0.1:${chromePort}/json/list`).then((r) => r.json(), () => []);
  const tab = tabs.find((t) => t.type === 'page' && t.url.endsWith(`?${tag}`));
  if (tab) await fetch(`http://127.0.0.1:${chromePort}/json/activate/${tab.id}`).catch(() => {});
};

const steps = ['open', 'snapshot', 'click+see', 'screenshot'];
try {
  for (const server of servers) {
    server.client = await connect(server.transport());
    server.pid = server.client.transport?.pid ?? server.client._transport?.pid;
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
      const [shotMs, shot] = await timed(() => s.screenshot(c, s));
      if (!(shot.content || []).some((part) => part.type === 'image')) throw new Error(`${s.name}: no image`);
      s.times.open.push(openMs);
      s.times.snapshot.push(snapMs);
      s.times['click+see'].push(clickMs);
      s.times.screenshot.push(shotMs);
      const rss = s.name === 'companion' ? s.rss() : treeRss(s.pid);
      s.rssPeak = Math.max(s.rssPeak, rss);
    }
  }

  console.log(`MCP servers side by side: ${rounds} rounds, one headless Chromium, one page (60 items)`);
  console.log('server                 step         median ms   p90 ms');
  for (const s of servers) {
    for (const step of steps) {
      console.log(`${s.name.padEnd(22)} ${step.padEnd(12)} ${quantile(s.times[step], 0.5).toFixed(1).padStart(9)} ${quantile(s.times[step], 0.9).toFixed(1).padStart(8)}`);
    }
    console.log(`${s.name.padEnd(22)} snapshot ${s.snapshotChars} chars, resident ${(s.rssPeak / 1024).toFixed(1)} MiB`);
  }
  const [own, ...others] = servers;
  for (const peer of others) {
    const ratios = steps.map((step) => `${step} ${(quantile(own.times[step], 0.5) / quantile(peer.times[step], 0.5)).toFixed(2)}`);
    console.log(`companion / ${peer.name}: ${ratios.join(', ')}, snapshot chars ${(own.snapshotChars / peer.snapshotChars).toFixed(2)}, memory ${(own.rssPeak / peer.rssPeak).toFixed(2)}`);
  }
} finally {
  for (const server of servers) await server.client?.close().catch(() => {});
  companion.kill('SIGTERM');
  chromium.kill('SIGTERM');
  pages.close();
  await sleep(500);
  try { execFileSync('pkill', ['-f', `${home}`]); } catch {}
  fs.rmSync(home, { recursive: true, force: true });
}
