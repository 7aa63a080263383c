// A real-browser soak: 1,000 steps over the companion's local HTTP (open,
// snapshot, click, view, in turn) against a local page on one headless
// Chromium. Prints the resident memory of the companion and of the tool's
// daemon at steps 100 and 1,000, and the companion's threads and open
// descriptors.
//   node bench/steps_soak.mjs COMPANION_EXECUTABLE [STEPS]
import fs from 'node:fs';

import { startStage } from './mcp_stage.mjs';

const [companionExe, stepsArg] = process.argv.slice(2);
const total = Number(stepsArg || 1000);
const page = `<!doctype html><title>Soak page</title><h1>Soak page</h1>
<button onclick="this.textContent='Pressed ' + Date.now()">Press me</button>
<ul>${Array.from({ length: 40 }, (_, i) => `<li><a href="#i${i}">Item ${i}</a></li>`).join('')}</ul>`;
const stage = await startStage(companionExe, (req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(page); });

const post = async (route, body = {}) => {
  const reply = await fetch(`http://127.0.0.1:8766${route}`, { method: 'POST', body: JSON.stringify(body),
                                                              headers: { 'Content-Type': 'application/json' } });
  const answer = await reply.json();
  if (!answer.ok) throw new Error(`${route}: ${String(answer.text).slice(0, 300)}`);
  return answer;
};
const status = (pid, field) => Number((fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(new RegExp(`${field}:\\s+(\\d+)`)) || [0, 0])[1]);
// The tool's daemon: the agent-browser process of this stage's home that outlives each step.
const daemonPid = () => fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d)).find((pid) => {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('agent-browser')
      && fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(`HOME=${stage.home}`);
  } catch { return false; }
});
const report = (step) => {
  const pid = stage.companion.pid;
  const daemon = daemonPid();
  const companionKiB = status(pid, 'VmRSS');
  const daemonKiB = daemon ? status(daemon, 'VmRSS') : 0;
  console.log(`step ${String(step).padStart(5)}: companion ${(companionKiB / 1024).toFixed(1)} MiB, tool daemon `
    + `${(daemonKiB / 1024).toFixed(1)} MiB, together ${((companionKiB + daemonKiB) / 1024).toFixed(1)} MiB; `
    + `${status(pid, 'Threads')} threads, ${fs.readdirSync(`/proc/${pid}/fd`).length} open descriptors`);
  return companionKiB + daemonKiB;
};

try {
  const url = `${stage.pageBase}/soak.html`;
  let ref = '';
  let at100 = 0;
  const started = performance.now();
  for (let step = 1; step <= total; ++step) {
    switch (step % 4) {
      case 1: await post('/open', { url }); break;
      case 2: ref = ((await post('/snapshot')).text.match(/button "Press me"[^\n]*\[ref=(e\d+)\]/) || [])[1]; break;
      case 3: if (!(await post('/click', { ref })).text.includes('Pressed')) throw new Error('the click did not show'); break;
      default: if (!(await post('/view')).image) throw new Error('no picture'); break;
    }
    if (step === 100) at100 = report(step);
  }
  const atEnd = report(total);
  console.log(`${total} steps in ${((performance.now() - started) / 1000).toFixed(0)} s; `
    + `companion and daemon grew ${((atEnd - at100) / 1024).toFixed(1)} MiB from step 100 to step ${total}`);
} finally {
  await stage.close();
}
