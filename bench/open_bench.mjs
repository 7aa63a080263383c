// What an open costs on a quiet page, for one or more companion executables
// (an earlier build beside this one, say), in alternating blocks on one
// Chrome behind the gate: medians of /open over local HTTP.
//   node bench/open_bench.mjs ROUNDS LABEL=EXECUTABLE [LABEL=EXECUTABLE ...]
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const [roundsArg, ...named] = process.argv.slice(2);
const rounds = Number(roundsArg || 20);
const companions = named.map((pair) => pair.split('='));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'open-bench-'));
fs.mkdirSync(`${home}/.local/bin`, { recursive: true });
fs.symlinkSync(path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64'), `${home}/.local/bin/agent-browser`);
const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: `${home}/config`, XDG_DATA_HOME: `${home}/data`,
              XDG_STATE_HOME: `${home}/state`, XDG_RUNTIME_DIR: '', QT_QPA_PLATFORM: 'offscreen',
              AGENT_BROWSER_NO_VERSION_CHECK: '1', CORVANE_LOCAL_ORIGINS: 'http://127.0.0.1:*',
              CORVANE_CHROME_FLAGS: '--disable-gpu --disable-background-networking --disable-component-update --disable-sync --no-first-run' };

const links = Array.from({ length: 30 }, (_, i) => `<li><a href="#s${i}">Section ${i}</a></li>`).join('');
const pages = http.createServer((req, res) => {
  res.setHeader('Content-Type', 'text/html');
  res.end(`<!doctype html><title>Quiet ${req.url}</title><h1>A quiet page</h1><ul>${links}</ul>`);
});
await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));
const page = (n) => `http://127.0.0.1:${pages.address().port}/quiet-${n}`;

const post = async (route, body = {}) => {
  const start = performance.now();
  const answer = await (await fetch(`http://127.0.0.1:8766${route}`, { method: 'POST', body: JSON.stringify(body) })).json();
  if (!answer.ok) throw new Error(`${route}: ${String(answer.text).slice(0, 300)}`);
  return performance.now() - start;
};
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const times = Object.fromEntries(companions.map(([label]) => [label, []]));
const blocks = 6;
let n = 0;
for (let block = 0; block < blocks; ++block) {
  for (const [label, exe] of block % 2 ? [...companions].reverse() : companions) {
    const companion = spawn(exe, ['--headless'], { env, stdio: 'ignore' });
    for (let i = 0; i < 100 && !(await fetch('http://127.0.0.1:8766/health').then((r) => r.ok, () => false)); ++i) await sleep(100);
    await post('/open', { url: page(n++) }); // starts Chrome the first time, and warms the tool's session up
    for (let round = 0; round < rounds / blocks; ++round) times[label].push(await post('/open', { url: page(n++) }));
    companion.kill('SIGTERM');
    await new Promise((resolve) => companion.once('exit', resolve));
  }
}

console.log(`open_bench: /open on a quiet page, ${rounds} opens each in ${blocks} alternating blocks, medians in ms`);
console.log('| companion | open |');
console.log('|---|---|');
for (const [label] of companions) console.log(`| ${label} | ${median(times[label]).toFixed(1)} |`);

try { execFileSync('pkill', ['-f', `user-data-dir=${home}/`]); } catch {}
for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
  try {
    if (fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').some((v) => v === `HOME=${home}`)) process.kill(Number(pid));
  } catch {}
}
pages.close();
await sleep(500);
fs.rmSync(home, { recursive: true, force: true });
