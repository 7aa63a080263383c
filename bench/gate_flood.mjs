// The gate's resident memory under the floods a page or a client can send:
// a client that pipelines calls the gate answers itself and never reads; a
// client that asks Chrome for an answer larger than the gate passes on; and
// the companion reading a page with one 46-million-character text node.
// Prints the gate's peak and final memory for each, and whether the gate
// and its Chrome still run.
//   node bench/gate_flood.mjs COMPANION_EXECUTABLE [CALLS]
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';

import { endHome, gatedHome, sleep } from './gated_home.mjs';

const [companionExe, callsArg] = process.argv.slice(2);
const calls = Number(callsArg || 1500000);
const { home, env } = gatedHome('gate-flood-');

const huge = '<!doctype html><title>Huge</title><div hidden id="h"></div>'
  + '<button onclick="document.getElementById(\'h\').textContent=\'x\'.repeat(46e6)">Grow</button>';
const pages = http.createServer((req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(huge); });
await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));

// The companion starts its own Chrome behind the gate on the first action.
const companion = spawn(companionExe, ['--headless'], { env, stdio: 'ignore' });
for (let i = 0; i < 100 && !(await fetch('http://127.0.0.1:8766/health').then((r) => r.ok, () => false)); ++i) await sleep(100);
const post = async (route, body = {}) =>
  (await fetch(`http://127.0.0.1:8766${route}`, { method: 'POST', body: JSON.stringify(body) })).json();
await post('/open', { url: `http://127.0.0.1:${pages.address().port}/huge` });
const launch = fs.readFileSync(`${home}/state/CorvaneCompanion/events.log`, 'utf8').split('\n').filter((l) => l.includes('chrome.launch')).pop();
const port = Number(launch.match(/port=(\d+)/)[1]);
const gatePid = Number(execFileSync('pgrep', ['-f', `chrome-gate .*--user-data-dir=${home}/`]).toString().trim().split('\n')[0]);
const rssMiB = () => {
  try { return Number(fs.readFileSync(`/proc/${gatePid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]) / 1024; } catch { return 0; }
};
const alive = () => fs.existsSync(`/proc/${gatePid}`) && (() => { try { execFileSync('pgrep', ['-f', `^/usr/lib/chromium/chromium .*${home}/`]); return true; } catch { return false; } })();
const watch = async (work) => {
  let peak = rssMiB();
  const timer = setInterval(() => { peak = Math.max(peak, rssMiB()); }, 20);
  const started = performance.now();
  await work();
  await sleep(1000);
  clearInterval(timer);
  return { peak, after: rssMiB(), seconds: (performance.now() - started) / 1000 };
};

// A WebSocket client by hand: masked frames with a zero key (the payload
// goes as it is), and a socket it never reads once the handshake is in.
const rawClient = async () => {
  const version = await (await fetch(`http://127.0.0.1:${port}/json/version`)).json();
  const socket = net.connect(port, '127.0.0.1');
  socket.on('error', () => {}); // the gate lets a client go that does not read
  await new Promise((resolve) => socket.once('connect', resolve));
  socket.write(`GET ${new URL(version.webSocketDebuggerUrl).pathname} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\n`
               + 'Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n');
  await new Promise((resolve) => socket.once('data', resolve));
  socket.pause();
  const frame = (text) => {
    const payload = Buffer.from(text);
    const head = payload.length < 126 ? Buffer.from([0x81, 0x80 | payload.length])
                                      : Buffer.from([0x81, 0x80 | 126, payload.length >> 8, payload.length & 0xff]);
    return Buffer.concat([head, Buffer.alloc(4), payload]);
  };
  return { socket, frame };
};

const results = [];
let failed = false; // the oversized answer came back as an error of its call
const base = rssMiB();
results.push(['pipelined Browser.getVersion, never read', await watch(async () => {
  const { socket, frame } = await rawClient();
  for (let id = 1; id <= calls;) {
    const batch = [];
    for (let n = 0; n < 1000 && id <= calls; ++n, ++id) batch.push(frame(`{"id":${id},"method":"Browser.getVersion"}`));
    if (!socket.write(Buffer.concat(batch))) await new Promise((resolve) => { socket.once('drain', resolve); socket.once('close', resolve); });
    if (socket.destroyed) break;
  }
  socket.destroy();
})]);
results.push(['an answer past the gate\'s limit (100 MB string)', await watch(async () => {
  const { socket, frame } = await rawClient();
  let heard = '';
  socket.on('data', (data) => { heard += data.toString('latin1').slice(0, 100000); });
  socket.resume();
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  socket.write(frame(`{"id":1,"method":"Target.attachToTarget","params":{"targetId":"${targets[0].id}","flatten":true}}`));
  for (let i = 0; i < 100 && !/"sessionId":"([^"]+)"/.test(heard); ++i) await sleep(50);
  const session = heard.match(/"sessionId":"([^"]+)"/)[1];
  socket.write(frame(`{"id":2,"method":"Runtime.evaluate","params":{"expression":"'x'.repeat(1e8)","returnByValue":true},"sessionId":"${session}"}`));
  for (let i = 0; i < 400 && !heard.includes('"id":2'); ++i) await sleep(50);
  failed = heard.includes('larger than the gate passes on');
  socket.destroy();
})]);
results.push(['a 46-million-character text node, read after a click', await watch(async () => {
  const snapshot = await post('/snapshot');
  const ref = snapshot.text.match(/button "Grow" \[ref=(e\d+)\]/)[1];
  await post('/click', { ref });
  await post('/scroll');
})]);

console.log(`gate_flood: the gate's resident memory, ${base.toFixed(1)} MiB before`);
console.log('| flood | peak MiB | after MiB | seconds |');
console.log('|---|---|---|---|');
for (const [name, r] of results) console.log(`| ${name} | ${r.peak.toFixed(1)} | ${r.after.toFixed(1)} | ${r.seconds.toFixed(1)} |`);
const health = await post('/health').catch(() => ({ ok: false }));
console.log(`the oversized answer ${failed ? 'failed its own call' : 'DID NOT come back as an error'}`);
console.log(`afterwards: gate and Chrome ${alive() ? 'run' : 'GONE'}, companion ${health.ok ? 'answers' : 'does not answer'}`);

companion.kill('SIGTERM');
await new Promise((resolve) => companion.once('exit', resolve));
pages.close();
await endHome(home);
