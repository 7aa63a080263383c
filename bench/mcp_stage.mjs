// One stage for the MCP benchmarks: a temporary home, one headless
// Chromium, the companion headless on it, a local page server, and the same
// SDK client for every server. Needs ./dev bench's .deps/mcp-client and
// .deps/mcp-peers, and agent-browser.
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const require = createRequire(path.join(root, '.deps/mcp-client/index.js'));
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
export const { StreamableHTTPClientTransport } = require('@modelcontextprotocol/sdk/client/streamableHttp.js');
export const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');
export const peers = path.join(root, '.deps/mcp-peers/node_modules/.bin');
export const chromePort = 9222;
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts everything; `respond(req, res)` serves the pages.
export async function startStage(companionExe, respond) {
  // A home of its own: the companion's profile folder is where Chromium runs.
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'mcp-bench-'));
  fs.mkdirSync(path.join(home, '.local/bin'), { recursive: true });
  fs.symlinkSync(path.join(root, '.deps/agent-browser/node_modules/agent-browser/bin/agent-browser-linux-x64'),
                 path.join(home, '.local/bin/agent-browser'));
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: `${home}/config`, XDG_DATA_HOME: `${home}/data`,
                XDG_STATE_HOME: `${home}/state`, XDG_RUNTIME_DIR: '', QT_QPA_PLATFORM: 'offscreen',
                // The pages are served on this machine, which the work opens only when told.
                CORVANE_LOCAL_ORIGINS: 'http://127.0.0.1:*' };
  const pages = http.createServer(respond);
  await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));
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
  return {
    home, env, companion,
    pageBase: `http://127.0.0.1:${pages.address().port}`,
    async close() {
      companion.kill('SIGTERM');
      chromium.kill('SIGTERM');
      pages.close();
      await sleep(500);
      try { execFileSync('pkill', ['-f', `${home}`]); } catch {}
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// The three servers' transports on a stage.
export const transports = (stage) => ({
  companion: () => new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8766/mcp')),
  // Run from the temporary home: the server writes its snapshots below its working folder.
  playwright: () => new StdioClientTransport({ command: `${peers}/playwright-mcp`, env: stage.env, cwd: stage.home,
                                               args: ['--cdp-endpoint', `http://127.0.0.1:${chromePort}`], stderr: 'ignore' }),
  devtools: () => new StdioClientTransport({ command: `${peers}/chrome-devtools-mcp`, env: stage.env, cwd: stage.home,
                                             stderr: 'ignore',
                                             args: ['--browser-url', `http://127.0.0.1:${chromePort}`,
                                                    '--no-usage-statistics', '--no-performance-crux'] }),
});

export const textOf = (result) => (result.content || []).filter((c) => c.type === 'text').map((c) => c.text).join('\n');
export const connect = async (transport) => {
  const client = new Client({ name: 'mcp-bench', version: '1.0.0' });
  await client.connect(transport);
  return client;
};
// A call whose error result is still an answer worth reading.
export const ask = (client, name, args = {}) => client.callTool({ name, arguments: args }, undefined, { timeout: 120000 });
export const call = async (client, name, args = {}) => {
  const result = await ask(client, name, args);
  if (result.isError) throw new Error(`${name}: ${textOf(result).slice(0, 300)}`);
  return result;
};
export const timed = async (work) => {
  const start = performance.now();
  const value = await work();
  return [performance.now() - start, value];
};
export const quantile = (values, q) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
};

// A headless Chromium paints only its front tab: each server's turn brings
// its own tab to the front first (outside the timings).
export const toFront = async (tag) => {
  const tabs = await fetch(`http://127.0.0.1:${chromePort}/json/list`).then((r) => r.json(), () => []);
  const tab = tabs.find((t) => t.type === 'page' && t.url.includes(`?${tag}`));
  if (tab) await fetch(`http://127.0.0.1:${chromePort}/json/activate/${tab.id}`).catch(() => {});
};
