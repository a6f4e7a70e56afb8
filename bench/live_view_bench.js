// The live view's figures: with 1,000 moving tags and the agent inventorying
// as fast as its interval lets it, the page's time per update measured in
// Debian's chromium (playwright-core), and the agent's CPU with no page and
// with five pages open.
//
//   node bench/live_view_bench.js PREFIX [SECONDS] [INTERVAL_MS]
//
// PREFIX: an installed tree (bin/zelquar-agent, bin/zelquar-sim). Prints one
// JSON object. Uses the playwright-core that scripts/lib.sh installs under
// tests/browser/node_modules.
'use strict';

const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require(path.join(__dirname, '../tests/browser/node_modules/playwright-core'));

const prefix = path.resolve(process.argv[2]);
const seconds = Number(process.argv[3] || 20);
const intervalMs = String(process.argv[4] || 60);  // about ten inventories of 1,000 tags a second here
const TAGS = 1000;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zq-live-bench-'));
const simDir = path.join(work, 'sim');
fs.mkdirSync(simDir, { mode: 0o700 });
const port = 22000 + (process.pid % 20000);
const env = Object.assign({}, process.env, { ZELQUAR_SIM_DIR: simDir, ZELQUAR_NAMESPACE: 'zqlive-' + process.pid });
const children = [];
const sleep = (ms) => new Promise(r => setTimeout(r, ms));

const tags = [];
for (let i = 0; i < TAGS; ++i) {
  tags.push({ epc: 'E2801170' + (0x10000000 + i).toString(16).toUpperCase().padStart(16, '0'), rssi: 20000 + (i % 40) * 500,
              noise: 400 });
}
fs.writeFileSync(path.join(work, 'scenario.json'), JSON.stringify({ tags }));

// User and system CPU seconds of a process, from /proc.
function cpuSeconds(pid) {
  const fields = fs.readFileSync('/proc/' + pid + '/stat', 'utf8').split(') ')[1].split(' ');
  const ticks = Number(execFileSync('getconf', ['CLK_TCK']).toString());
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}

async function health() {
  return (await fetch('http://127.0.0.1:' + port + '/api/health')).json();
}

// The agent's CPU share (of one core) and rounds a second over `s` seconds.
async function measureAgent(agent, s) {
  const c0 = cpuSeconds(agent.pid), h0 = await health(), t0 = Date.now();
  await sleep(s * 1000);
  const c1 = cpuSeconds(agent.pid), h1 = await health(), t1 = Date.now();
  const wall = (t1 - t0) / 1000;
  return { cpu_percent: +(100 * (c1 - c0) / wall).toFixed(1), rounds_per_s: +((h1.rounds - h0.rounds) / wall).toFixed(2),
           reads_per_s: +((h1.reads - h0.reads) / wall).toFixed(0) };
}

(async () => {
  const result = { tags: TAGS, seconds, interval_ms: Number(intervalMs) };
  try {
    const sim = spawn(path.join(prefix, 'bin/zelquar-sim'), ['--dir', simDir, '--scenario', path.join(work, 'scenario.json')],
                      { env, stdio: 'ignore' });
    children.push(sim);
    while (!fs.existsSync(path.join(simDir, 'reader0.json'))) await sleep(100);
    const agent = spawn(path.join(prefix, 'bin/zelquar-agent'),
                        ['--http', '127.0.0.1:' + port, '--journal', path.join(work, 'journal.db'), '--interval', intervalMs,
                         '--leave-after', '3000'], { env, stdio: ['ignore', 'ignore', 'inherit'] });
    children.push(agent);
    for (;;) {
      try { if ((await health()).tags >= TAGS) break; } catch (e) { /* starting */ }
      await sleep(200);
    }
    result.no_page = await measureAgent(agent, seconds);

    const browser = await chromium.launch({ executablePath: '/usr/bin/chromium',
                                            args: ['--no-sandbox', '--disable-gpu', '--no-first-run'] });
    try {
      const pages = [];
      for (let i = 0; i < 5; ++i) {
        const page = await (await browser.newContext({ viewport: { width: 1400, height: 900 } })).newPage();
        await page.goto('http://127.0.0.1:' + port + '/');
        pages.push(page);
        if (i === 0) {
          while ((await page.locator('#tags tbody tr').count()) < TAGS) await sleep(200);
          await page.evaluate(() => { Object.assign(window.zqStats, { updates: 0, totalMs: 0, maxMs: 0, last: [] }); });
          await sleep(seconds * 1000);
          const s = await page.evaluate(() => window.zqStats);
          const sorted = s.last.slice().sort((a, b) => a - b);
          result.page = { updates: s.updates, updates_per_s: +(s.updates / seconds).toFixed(2),
                          mean_ms: +(s.totalMs / Math.max(1, s.updates)).toFixed(2), max_ms: +s.maxMs.toFixed(2),
                          p95_ms: +(sorted[Math.floor(sorted.length * 0.95)] || 0).toFixed(2) };
          result.one_page = await measureAgent(agent, seconds);
        }
      }
      result.five_pages = await measureAgent(agent, seconds);
      result.extra_cpu_percent_five_pages = +(result.five_pages.cpu_percent - result.no_page.cpu_percent).toFixed(1);
    } finally {
      await browser.close();
    }
  } finally {
    for (const c of children.reverse()) c.kill('SIGTERM');
    await sleep(500);
    fs.rmSync(work, { recursive: true, force: true });
  }
  console.log(JSON.stringify(result, null, 2));
})().catch((e) => { console.error(e); process.exit(1); });
