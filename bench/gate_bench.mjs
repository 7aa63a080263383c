// What the gate costs a step, on two headless Chromiums, one behind the
// companion's gate and one with a debugging port of its own, on the same
// local page: first the tool's own steps (snapshot, click, screenshot) in
// alternating rounds, then the companion's steps over its local HTTP
// (/snapshot, /click, /view) in alternating blocks, the companion restarted
// for each block (the gated Chrome outlives it); then the gate's resident
// memory.
//   node bench/gate_bench.mjs COMPANION_EXECUTABLE [ROUNDS]
import { execFile, execFileSync, spawn, spawnSync } from 'node:child_process';
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

// Asynchronous, so that the page server in this process keeps answering.
const run = (target, ...args) => new Promise((resolve, reject) => {
  const start = performance.now();
  execFile(tool, ['--cdp', String(target.port), '--session', `bench-${target.port}`, ...args], { env }, (error, stdout, stderr) => {
    const ms = performance.now() - start;
    if (error) reject(new Error(`${args.join(' ')} on ${target.name}: ${stdout}${stderr}`));
    else resolve([ms, String(stdout)]);
  });
});
const buttonRef = (snapshot) => snapshot.match(/button "Press[^"]*" \[ref=(e\d+)\]/)[1];
for (const target of [direct, gated]) await run(target, 'open', pageUrl);

const steps = {
  snapshot: async (target) => (await run(target, 'snapshot', '-i', '-c'))[0],
  click: async (target) => (await run(target, 'click', `@${buttonRef((await run(target, 'snapshot', '-i', '-c'))[1])}`))[0],
  screenshot: async (target) => (await run(target, 'screenshot', `${home}/shot-${target.port}.png`))[0],
};
const times = Object.fromEntries(Object.keys(steps).map((step) => [step, { [direct.name]: [], [gated.name]: [] }]));
for (let round = 0; round < rounds; ++round) {
  const order = round % 2 ? [gated, direct] : [direct, gated];
  for (const [step, take] of Object.entries(steps)) {
    for (const target of order) times[step][target.name].push(await take(target));
  }
}

console.log(`gate_bench: ${rounds} alternating rounds, medians in ms (p90 in brackets)`);
const cell = (v) => `${quantile(v, 0.5).toFixed(1)} (${quantile(v, 0.9).toFixed(1)})`;
const table = (title, rows) => {
  console.log(`| ${title} | direct port | through the gate | ratio |`);
  console.log('|---|---|---|---|');
  for (const [step, a, b] of rows) console.log(`| ${step} | ${cell(a)} | ${cell(b)} | ${(quantile(b, 0.5) / quantile(a, 0.5)).toFixed(3)} |`);
};
table('tool step', Object.keys(steps).map((step) => [step, times[step][direct.name], times[step][gated.name]]));

// The companion's steps: a home each, with a Chromium started alike on each
// companion's profile, one with a port of its own, one behind the gate.
const companionHome = (name) => {
  const dir = `${home}/${name}`;
  fs.mkdirSync(`${dir}/.local/bin`, { recursive: true });
  fs.symlinkSync(tool, `${dir}/.local/bin/agent-browser`);
  return { ...env, HOME: dir, XDG_CONFIG_HOME: `${dir}/config`, XDG_DATA_HOME: `${dir}/data`, XDG_STATE_HOME: `${dir}/state`,
           XDG_RUNTIME_DIR: '', QT_QPA_PLATFORM: 'offscreen',
           CORVANE_CHROME_FLAGS: '--disable-gpu --disable-background-networking --disable-component-update --disable-sync' };
};
const modes = { [direct.name]: companionHome('companion-direct'), [gated.name]: companionHome('companion-gated') };
const ownChromium = spawn('/usr/lib/chromium/chromium', chromeArgs(9244, 'companion-direct/.corvane-companion-chrome'),
                          { env, stdio: 'ignore' });
spawnSync(companionExe, ['chrome-gate', '/usr/lib/chromium/chromium', ...chromeArgs(9245, 'companion-gated/.corvane-companion-chrome')],
          { env, stdio: 'ignore' });
for (const port of [9244, 9245]) {
  for (let i = 0; i < 100 && !(await fetch(`http://127.0.0.1:${port}/json/version`).then((r) => r.ok, () => false)); ++i) await sleep(100);
}
const post = async (route, body = {}) => {
  const start = performance.now();
  const reply = await fetch(`http://127.0.0.1:8766${route}`, { method: 'POST', body: JSON.stringify(body) });
  const answer = await reply.json();
  if (!answer.ok) throw new Error(`${route}: ${String(answer.text).slice(0, 300)}`);
  return [performance.now() - start, answer];
};
const companionTimes = Object.fromEntries(['/snapshot', '/click', '/view'].map((step) => [step, { [direct.name]: [], [gated.name]: [] }]));
const blocks = 8;
for (let block = 0; block < blocks; ++block) {
  const name = block % 2 ? gated.name : direct.name;
  const companion = spawn(companionExe, ['--headless'], { env: modes[name], stdio: 'ignore' });
  for (let i = 0; i < 100 && !(await fetch('http://127.0.0.1:8766/health').then((r) => r.ok, () => false)); ++i) await sleep(100);
  await post('/open', { url: pageUrl });
  for (let round = -1; round < rounds / (blocks / 2); ++round) {
    const [snapshotMs, snapshot] = await post('/snapshot');
    const [clickMs] = await post('/click', { ref: buttonRef(snapshot.text) });
    const [viewMs] = await post('/view');
    if (round < 0) continue; // the first round warms the tool's session up
    companionTimes['/snapshot'][name].push(snapshotMs);
    companionTimes['/click'][name].push(clickMs);
    companionTimes['/view'][name].push(viewMs);
  }
  companion.kill('SIGTERM');
  await new Promise((resolve) => companion.once('exit', resolve));
}
table('companion step', Object.keys(companionTimes).map((step) => [step, companionTimes[step][direct.name], companionTimes[step][gated.name]]));

for (const [name, gateHome] of [['tool steps', `${home}/gated`], ['companion steps', `${home}/companion-gated`]]) {
  const gatePid = Number(execFileSync('pgrep', ['-f', `chrome-gate .*--user-data-dir=${gateHome}`]).toString().trim().split('\n')[0]);
  const rssKiB = Number(fs.readFileSync(`/proc/${gatePid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
  console.log(`gate resident memory after the ${name}: ${(rssKiB / 1024).toFixed(1)} MiB`);
}

// Everything started under the bench's homes goes: the tool's daemons too.
for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
  try {
    if (fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').some((v) => v.startsWith(`HOME=${home}`))) process.kill(Number(pid));
  } catch {}
}
chromium.kill('SIGTERM');
ownChromium.kill('SIGTERM');
try { execFileSync('pkill', ['-f', `user-data-dir=${home}/`]); } catch {}
pages.close();
await sleep(500);
fs.rmSync(home, { recursive: true, force: true });
