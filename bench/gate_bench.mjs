// What the gate costs a step: the same tool steps (snapshot, click,
// screenshot) on two headless Chromiums, one behind the companion's gate and
// one with a debugging port of its own, in alternating rounds on the same
// local page; then the gate's resident memory.
//   node bench/gate_bench.mjs COMPANION_EXECUTABLE [ROUNDS]
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

import { quantile, root, sleep } from './mcp_stage.mjs';

const [companionExe, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg || 20);
const tool = path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64');
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'gate-bench-'));
const env = { ...process.env, HOME: home, XDG_STATE_HOME: `${home}/state`, AGENT_BROWSER_NO_VERSION_CHECK: '1' };

const items = Array.from({ length: 60 }, (_, i) =>
  `<li><a href="#item${i}">Item ${i}</a> <input aria-label="Note ${i}"></li>`).join('');
const page = `<!doctype html><title>Bench page</title><h1>Bench page</h1>
<button onclick="this.textContent='Pressed ' + Date.now()">Press me</button><ul>${items}</ul>`;
const pages = http.createServer((req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });
await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));
const pageUrl = `http://127.0.0.1:${pages.address().port}/bench.html`;

const chromeArgs = (port, dir) => [
  '--headless=new', '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--no-first-run', '--no-default-browser-check', `--remote-debugging-port=${port}`, `--user-data-dir=${home}/${dir}`,
  ...(process.getuid() === 0 ? ['--no-sandbox'] : []), 'about:blank'];
const direct = { name: 'direct port', port: 9242 };
const gated = { name: 'through the gate', port: 9243 };
const chromium = spawn('/usr/lib/chromium/chromium', chromeArgs(direct.port, 'direct'), { env, stdio: 'ignore' });
// The gate forks into the background and exits 0 once Chrome is started.
const started = spawnSync(companionExe, ['chrome-gate', '/usr/lib/chromium/chromium', ...chromeArgs(gated.port, 'gated')],
                          { env, stdio: 'ignore' });
if (started.status !== 0) throw new Error(`the gate did not start (${started.status})`);
for (const target of [direct, gated]) {
  for (let i = 0; i < 100; ++i) {
    if (await fetch(`http://127.0.0.1:${target.port}/json/version`).then((r) => r.ok, () => false)) break;
    await sleep(100);
  }
}

const run = (target, ...args) => {
  const start = performance.now();
  const result = spawnSync(tool, ['--cdp', String(target.port), '--session', `bench-${target.port}`, ...args], { env });
  const ms = performance.now() - start;
  if (result.status !== 0) throw new Error(`${args.join(' ')} on ${target.name}: ${result.stdout}${result.stderr}`);
  return [ms, String(result.stdout)];
};
const buttonRef = (snapshot) => snapshot.match(/button "Press[^"]*" \[ref=(e\d+)\]/)[1];
for (const target of [direct, gated]) run(target, 'open', pageUrl);

const steps = {
  snapshot: (target) => run(target, 'snapshot', '-i', '-c')[0],
  click: (target) => run(target, 'click', `@${buttonRef(run(target, 'snapshot', '-i', '-c')[1])}`)[0],
  screenshot: (target) => run(target, 'screenshot', `${home}/shot-${target.port}.png`)[0],
};
const times = Object.fromEntries(Object.keys(steps).map((step) => [step, { [direct.name]: [], [gated.name]: [] }]));
for (let round = 0; round < rounds; ++round) {
  const order = round % 2 ? [gated, direct] : [direct, gated];
  for (const [step, take] of Object.entries(steps)) {
    for (const target of order) times[step][target.name].push(take(target));
  }
}

const gatePid = Number(execFileSync('pgrep', ['-f', `chrome-gate .*--user-data-dir=${home}/gated`]).toString().trim().split('\n')[0]);
const rssKiB = Number(fs.readFileSync(`/proc/${gatePid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);

console.log(`gate_bench: ${rounds} alternating rounds, medians in ms (p90 in brackets)`);
console.log('| step | direct port | through the gate | ratio |');
console.log('|---|---|---|---|');
for (const step of Object.keys(steps)) {
  const a = times[step][direct.name];
  const b = times[step][gated.name];
  const cell = (v) => `${quantile(v, 0.5).toFixed(1)} (${quantile(v, 0.9).toFixed(1)})`;
  console.log(`| ${step} | ${cell(a)} | ${cell(b)} | ${(quantile(b, 0.5) / quantile(a, 0.5)).toFixed(3)} |`);
}
console.log(`gate resident memory: ${(rssKiB / 1024).toFixed(1)} MiB`);

for (const target of [direct, gated]) spawnSync(tool, ['--session', `bench-${target.port}`, 'close'], { env, stdio: 'ignore' });
chromium.kill('SIGTERM');
try { execFileSync('pkill', ['-f', `user-data-dir=${home}/gated`]); } catch {}
pages.close();
await sleep(500);
fs.rmSync(home, { recursive: true, force: true });
