// Several assistants at once: N MCP clients (1, 2, 4, 8), each running the
// same 20-step task on its own copy of a page, all started together; the
// wall time until the last one is done, and the memory of the server's own
// processes at their peak (for the companion: itself and the tool's
// background processes; for a peer: its process tree), beside the same
// through @playwright/mcp --isolated and chrome-devtools-mcp with a page per
// client. Each N gets a fresh stage: Chromium, the companion, nothing kept.
// Memory is proportional (PSS: a shared page counts once across processes)
// and resident (RSS: each process's whole share), in MiB; Chrome's own
// tabs are not counted.
//   node bench/agents_bench.mjs COMPANION_EXECUTABLE [N,N,...] [companion,playwright,devtools]
import fs from 'node:fs';

import { call, chromePort, connect, startStage, textOf, timed, transports } from './mcp_stage.mjs';

const [companionExe, countsArg, serversArg] = process.argv.slice(2);
const counts = (countsArg || '1,2,4,8').split(',').map(Number);
const chosen = (serversArg || 'companion,playwright,devtools').split(',');

const items = Array.from({ length: 30 }, (_, i) => `<li>Item ${i} <input aria-label="Note ${i}"></li>`).join('');
const page = `<!doctype html><title>Task page</title><h1>Task page</h1>
<button onclick="this.textContent='Pressed '+(++window.n||(window.n=1))">Press me</button><ul>${items}</ul>`;

const memoryOf = (pids) => {
  let pss = 0;
  let rss = 0;
  for (const pid of pids) {
    try {
      const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
      pss += Number((rollup.match(/^Pss:\s+(\d+)/m) || [0, 0])[1]);
      rss += Number((rollup.match(/^Rss:\s+(\d+)/m) || [0, 0])[1]);
    } catch {}
  }
  return { pss, rss };
};
const processes = () => fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).map((pid) => {
  try {
    return { pid: Number(pid), ppid: Number(fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/PPid:\s+(\d+)/)[1]),
             cmdline: fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'),
             home: fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').find((v) => v.startsWith('HOME=')) };
  } catch { return null; }
}).filter(Boolean);
// Everything started under `roots`, without Chromium's own processes.
const treeOf = (roots) => {
  const all = processes();
  const inTree = new Set(roots);
  for (let grew = true; grew;) {
    grew = false;
    for (const p of all) if (!inTree.has(p.pid) && inTree.has(p.ppid)) { inTree.add(p.pid); grew = true; }
  }
  return all.filter((p) => inTree.has(p.pid) && !p.cmdline.includes('chromium')).map((p) => p.pid);
};

// One server's way to do the task; `client` is its MCP client, `tag` its copy of the page.
const servers = {
  companion: {
    name: 'companion (/mcp)',
    transport: (stage) => transports(stage).companion(),
    pids: (stage) => processes().filter((p) => p.pid === stage.companion.pid
      || (p.cmdline.includes('agent-browser') && p.home === `HOME=${stage.home}`)).map((p) => p.pid),
    open: (c, url) => call(c, 'browser_open', { url }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: (text) => (text.match(/button "Press[^"]*"[^\n]*\[ref=(\w+)\]/) || [])[1],
    click: (c, ref) => call(c, 'browser_click', { ref }),
    screenshot: (c) => call(c, 'browser_view'),
  },
  playwright: {
    name: '@playwright/mcp --isolated',
    transport: (stage) => {
      const t = transports(stage).playwright();
      t._serverParams.args.push('--isolated');
      return t;
    },
    open: (c, url) => call(c, 'browser_navigate', { url }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: (text) => (text.match(/button "Press[^"]*"[^\n]*\[ref=(\w+)\]/) || [])[1],
    click: (c, ref) => call(c, 'browser_click', { element: 'Press button', target: ref }),
    screenshot: (c) => call(c, 'browser_take_screenshot', { type: 'jpeg', scale: 'css' }),
  },
  devtools: {
    name: 'chrome-devtools-mcp',
    transport: (stage) => transports(stage).devtools(),
    setup: async (c, run) => {
      const text = textOf(await call(c, 'new_page', { url: 'about:blank' }));
      const selected = text.split('\n').find((line) => line.includes('[selected]')) || '';
      run.pageId = Number((selected.match(/^(\d+):/) || [])[1]);
    },
    open: (c, url, run) => call(c, 'navigate_page', { pageId: run.pageId, type: 'url', url }),
    snapshot: (c, run) => call(c, 'take_snapshot', { pageId: run.pageId }),
    ref: (text) => (text.match(/uid=(\S+) button "Press/) || [])[1],
    click: (c, ref, run) => call(c, 'click', { pageId: run.pageId, uid: ref }),
    screenshot: (c, run) => call(c, 'take_screenshot', { pageId: run.pageId, format: 'jpeg' }),
  },
};

// The task: an open, then six rounds of snapshot, click and screenshot, and
// a last snapshot: 20 steps.
async function task(server, client, url, run) {
  await server.open(client, url, run);
  for (let round = 0; round < 6; ++round) {
    const ref = server.ref(textOf(await server.snapshot(client, run)));
    if (!ref) throw new Error(`${server.name}: no button`);
    await server.click(client, ref, run);
    await server.screenshot(client, run);
  }
  if (!textOf(await server.snapshot(client, run)).includes('Pressed 6')) throw new Error(`${server.name}: six presses did not show`);
}

async function measure(server, n) {
  const stage = await startStage(companionExe, (req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });
  try {
    const clients = [];
    for (let i = 0; i < n; ++i) {
      const client = await connect(server.transport(stage));
      const run = {};
      if (server.setup) await server.setup(client, run);
      clients.push({ client, run, url: `${stage.pageBase}/task.html?copy=${i}` });
    }
    const pidsOf = () => (server.pids ? server.pids(stage)
      : treeOf(clients.map(({ client }) => client.transport?.pid ?? client._transport?.pid)));
    let peak = { pss: 0, rss: 0 };
    const sampler = setInterval(() => {
      const now = memoryOf(pidsOf());
      if (now.pss > peak.pss) peak = now;
    }, 100);
    const [ms] = await timed(() => Promise.all(clients.map(({ client, url, run }) => task(server, client, url, run))));
    clearInterval(sampler);
    const after = memoryOf(pidsOf());
    if (after.pss > peak.pss) peak = after;
    for (const { client } of clients) await client.close().catch(() => {});
    return { ms, pss: peak.pss / 1024, rss: peak.rss / 1024 };
  } finally {
    await stage.close();
  }
}

const results = {};
const measured = Object.entries(servers).filter(([key]) => chosen.includes(key));
for (const [key, server] of measured) {
  results[key] = {};
  for (const n of counts) {
    try {
      results[key][n] = await measure(server, n);
    } catch (error) {
      results[key][n] = { error: String(error.message || error).slice(0, 200) };
    }
    const r = results[key][n];
    console.error(`${server.name} N=${n}: ${r.error || `${r.ms.toFixed(0)} ms, PSS ${r.pss.toFixed(1)} MiB, RSS ${r.rss.toFixed(1)} MiB`}`);
  }
}

console.log(`\nN agents, each the same 20-step task on its own copy of a page, all at once (port ${chromePort})`);
console.log('server                        N   wall ms   × one   PSS MiB   RSS MiB   PSS MiB per added agent');
for (const [key, server] of measured) {
  const one = results[key][counts[0]];
  for (const n of counts) {
    const r = results[key][n];
    if (r.error) {
      console.log(`${server.name.padEnd(28)} ${String(n).padStart(2)}   ${r.error}`);
      continue;
    }
    const ratio = one && !one.error ? (r.ms / one.ms).toFixed(2) : '-';
    const perAgent = one && !one.error && n > counts[0] ? ((r.pss - one.pss) / (n - counts[0])).toFixed(1) : '-';
    console.log(`${server.name.padEnd(28)} ${String(n).padStart(2)} ${r.ms.toFixed(0).padStart(9)} ${ratio.padStart(7)} ${r.pss.toFixed(1).padStart(9)} ${r.rss.toFixed(1).padStart(9)} ${perAgent.padStart(12)}`);
  }
}
process.exit(0);
