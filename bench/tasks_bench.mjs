// Everyday tasks through three MCP servers on one headless Chromium: what
// the assistant learns from the action itself. For each task and server:
// whether the result holds the fact the task is about, how many calls the
// action took, how many characters came back, and how long it took.
//   node bench/tasks_bench.mjs COMPANION_EXECUTABLE [ROUNDS]
import fs from 'node:fs';
import path from 'node:path';

import { ask, call, connect, quantile, sleep, startStage, textOf, timed, toFront, transports } from './mcp_stage.mjs';

const [companionExe, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg || 3);
const report = 'date,amount\n2026-12-01,42\n';

const pages = {
  '/login.html': `<title>Sign in</title><h1>Sign in</h1><form onsubmit="event.preventDefault();
    setTimeout(() => { msg.textContent = 'Invalid password for alice'; }, 50)"><input aria-label="Password" type="password">
    <button>Sign in</button></form><p role="alert" id="msg"></p>`,
  '/shop.html': `<title>Shop</title><button onclick="fetch('/slow').then(r => r.text()).then(t => { cart.textContent = t; })">
    Add to cart</button><p id="cart">Cart: empty</p>`,
  '/search.html': `<title>Search</title><button onclick="fetch('/found').then(r => r.text()).then(t => { out.innerHTML = t; })">
    Search lamps</button><div id="out"></div>`,
  '/toast.html': `<title>Toast</title><button onclick="const t = document.createElement('div'); t.className = 'toast';
    t.textContent = 'Saved to your list'; document.body.append(t); setTimeout(() => t.remove(), 2000)">Save</button>`,
  '/files.html': '<title>Files</title><a href="/report.csv">Monthly report</a>',
  '/upload.html': `<title>Upload</title><input type="file" aria-label="Attachment"
    onchange="chosen.textContent = 'Chosen: ' + this.files[0].name"><p id="chosen">Nothing chosen</p>`,
  '/delete.html': `<title>Delete</title><button onclick="out.textContent = confirm('Delete the file?') ? 'Deleted' : 'Kept'">
    Delete</button><p id="out"></p>`,
  '/newtab.html': '<title>Links</title><a href="/results.html" target="_blank">Open results</a>',
  '/results.html': '<title>Results</title><h2>3 results</h2>',
};

const stage = await startStage(companionExe, async (req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname === '/slow') {
    await sleep(800);
    res.end('Cart: 1 item');
  } else if (url.pathname === '/found') {
    await sleep(300);
    res.end('<h2>3 results for lamps</h2><p>Desk lamp</p><p>Floor lamp</p><p>Wall lamp</p>');
  } else if (url.pathname === '/report.csv') {
    res.setHeader('Content-Disposition', 'attachment; filename="report.csv"');
    res.setHeader('Content-Type', 'text/csv');
    res.end(report);
  } else {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<!doctype html>${pages[url.pathname] || ''}`);
  }
});
const transport = transports(stage);
const exchange = path.join(stage.home, 'data/CorvaneCompanion/exchange');
fs.mkdirSync(exchange, { recursive: true, mode: 0o700 });
const notes = path.join(exchange, 'notes.txt');
fs.writeFileSync(notes, 'hello');

// The element a task acts on, and the fact its result should hold.
const tasks = [
  { name: 'wrong password', page: '/login.html', role: 'button', element: 'Sign in', fact: 'Invalid password for alice' },
  { name: '800 ms answer', page: '/shop.html', role: 'button', element: 'Add to cart', fact: 'Cart: 1 item' },
  { name: 'search results', page: '/search.html', role: 'button', element: 'Search lamps', fact: '3 results for lamps' },
  { name: 'toast', page: '/toast.html', role: 'button', element: 'Save', fact: 'Saved to your list' },
  { name: 'download', page: '/files.html', role: 'link', element: 'Monthly report', fact: 'report.csv' },
  { name: 'upload', page: '/upload.html', role: 'button', element: 'Attachment', fact: 'Chosen: notes.txt', upload: true },
  { name: 'confirm dialog', page: '/delete.html', role: 'button', element: 'Delete', fact: 'Delete the file?' },
  { name: 'new-tab link', page: '/newtab.html', role: 'link', element: 'Open results', fact: '/results.html' },
];

const lineRef = (pattern) => (text, role, name) => (text.match(pattern(role, name)) || [])[1];
const servers = [
  {
    name: 'companion',
    tag: 'companion',
    open: (c, url) => call(c, 'browser_open', { url }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: lineRef((role, name) => new RegExp(`${role} "${name}"[^\\n]*[\\[ ]ref=(e\\d+)\\]`)),
    act: async (c, ref, task) => [task.upload ? await ask(c, 'browser_upload', { ref, file: 'notes.txt' })
      : await ask(c, 'browser_click', { ref })],
    settle: (c) => call(c, 'browser_cli', { command: 'dialog dismiss' }).catch(() => {}),
  },
  {
    name: '@playwright/mcp',
    tag: 'playwright',
    open: (c, url) => call(c, 'browser_navigate', { url }),
    snapshot: (c) => call(c, 'browser_snapshot'),
    ref: lineRef((role, name) => new RegExp(`${role} "${name}"[^\\n]*\\[ref=(\\w+)\\]`)),
    act: async (c, ref, task) => {
      const clicked = await ask(c, 'browser_click', { element: task.element, target: ref });
      // A file input opens a chooser the next call answers.
      return task.upload ? [clicked, await ask(c, 'browser_file_upload', { paths: [notes] })] : [clicked];
    },
    settle: (c) => call(c, 'browser_handle_dialog', { accept: false }).catch(() => {}),
  },
  {
    name: 'chrome-devtools-mcp',
    tag: 'devtools',
    setup: async (server, c) => {
      const text = textOf(await call(c, 'new_page', { url: 'about:blank' }));
      const selected = text.split('\n').find((line) => line.includes('[selected]')) || '';
      server.pageId = Number((selected.match(/^(\d+):/) || [])[1]);
    },
    open: (c, url, s) => call(c, 'navigate_page', { pageId: s.pageId, type: 'url', url }),
    snapshot: (c, s) => call(c, 'take_snapshot', { pageId: s.pageId }),
    ref: lineRef((role, name) => new RegExp(`uid=(\\S+) ${role} "${name}"`)),
    act: async (c, ref, task, s) => [task.upload
      ? await ask(c, 'upload_file', { pageId: s.pageId, uid: ref, filePaths: [notes], includeSnapshot: true })
      : await ask(c, 'click', { pageId: s.pageId, uid: ref, includeSnapshot: true })],
    settle: (c, s) => call(c, 'handle_dialog', { pageId: s.pageId, action: 'dismiss' }).catch(() => {}),
  },
];

try {
  for (const server of servers) {
    server.client = await connect(transport[server.tag]());
    server.listChars = JSON.stringify(await server.client.listTools()).length;
    if (server.setup) await server.setup(server, server.client);
    server.results = Object.fromEntries(tasks.map((task) => [task.name, { times: [], found: 0, calls: 0, chars: 0 }]));
  }
  for (let round = 0; round < rounds; ++round) {
    const order = round % 2 === 0 ? servers : [...servers].reverse();
    for (const task of tasks) {
      for (const s of order) {
        const c = s.client;
        const result = s.results[task.name];
        await s.open(c, `${stage.pageBase}${task.page}?${s.tag}`, s);
        await toFront(s.tag);
        const ref = s.ref(textOf(await s.snapshot(c, s)), task.role, task.element);
        if (!ref) {
          result.missing = 'no ref';
          continue;
        }
        try {
          const [ms, answers] = await timed(() => s.act(c, ref, task, s));
          const text = answers.map(textOf).join('\n');
          result.times.push(ms);
          result.calls = answers.length;
          result.chars = text.length;
          if (text.includes(task.fact)) ++result.found;
          if (process.env.TASKS_BENCH_SHOW) console.log(`--- ${task.name} / ${s.name}\n${text}`);
        } catch (error) {
          result.missing = String(error.message || error).split('\n')[0].slice(0, 60);
        }
        if (s.settle) await s.settle(c, s); // a dialog left open blocks the next task
      }
    }
  }

  console.log(`Everyday tasks through MCP: ${rounds} rounds, one headless Chromium`);
  console.log('task              server                 fact    calls  chars   median ms');
  for (const task of tasks) {
    for (const s of servers) {
      const r = s.results[task.name];
      const fact = r.times.length ? `${r.found}/${r.times.length}` : 'n/a';
      const time = r.times.length ? quantile(r.times, 0.5).toFixed(0) : (r.missing || '');
      console.log(`${task.name.padEnd(17)} ${s.name.padEnd(22)} ${fact.padEnd(7)} ${String(r.calls).padStart(5)} ${String(r.chars).padStart(6)}   ${time.padStart(9)}`);
    }
  }
  console.log(`tools/list characters: ${servers.map((s) => `${s.name} ${s.listChars}`).join(', ')}`);
} finally {
  for (const server of servers) await server.client?.close().catch(() => {});
  await stage.close();
}
