// A home of its own for a benchmark that runs the companion with the Chrome
// it starts behind its gate: the real tool linked in, quiet switches for
// Chrome, pages on 127.0.0.1 allowed; and the end of everything it started.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export function gatedHome(prefix) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  fs.mkdirSync(`${home}/.local/bin`, { recursive: true });
  fs.symlinkSync(path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64'),
                 `${home}/.local/bin/agent-browser`);
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: `${home}/config`, XDG_DATA_HOME: `${home}/data`,
                XDG_STATE_HOME: `${home}/state`, XDG_RUNTIME_DIR: '', QT_QPA_PLATFORM: 'offscreen',
                CORVANE_LOCAL_ORIGINS: 'http://127.0.0.1:*',
                CORVANE_CHROME_FLAGS: '--disable-gpu --disable-background-networking --disable-component-update --disable-sync --no-first-run' };
  return { home, env };
}

// Ends every process started under `home` (Chrome, the gate, the tool's
// background processes) and removes it.
export async function endHome(home) {
  try { execFileSync('pkill', ['-f', `user-data-dir=${home}/`]); } catch {}
  for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    try {
      if (fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').some((v) => v === `HOME=${home}`)) process.kill(Number(pid));
    } catch {}
  }
  await sleep(500);
  fs.rmSync(home, { recursive: true, force: true });
}
