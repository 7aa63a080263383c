// What an open costs on a quiet page, for one or more companion executables
// (an earlier build beside this one, say), in alternating blocks on one
// Chrome behind the gate: medians of /open over local HTTP.
//   node bench/open_bench.mjs ROUNDS LABEL=EXECUTABLE [LABEL=EXECUTABLE ...]
import { spawn } from 'node:child_process';
import http from 'node:http';

import { endHome, gatedHome, sleep } from './gated_home.mjs';

const [roundsArg, ...named] = process.argv.slice(2);
const rounds = Number(roundsArg || 20);
const companions = named.map((pair) => pair.split('='));
const { home, env } = gatedHome('open-bench-');

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

pages.close();
await endHome(home);
