// The live view in a real browser: Debian's chromium driven by
// playwright-core, against zelquar-agent on a simulated reader (separate
// processes). Rows appear and go as tags come and go; a tag's chart gains
// points while its signal changes; the stream cut by an agent restart
// resumes with no event missing; the CSV holds the table's rows; a new
// identity written from the page shows in the table; kill asks first.
//
//   node live_view.js PREFIX OUTDIR
//
// PREFIX: an installed tree (bin/zelquar-agent, bin/zelquar-sim); OUTDIR:
// where the screenshot goes. Exits 0 when every check passed, 77 (skipped)
// without chromium or playwright-core, 1 otherwise.
'use strict';

const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [prefix, outDir] = process.argv.slice(2);
const CHROMIUM = '/usr/bin/chromium';
let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (e) {
  console.log('skipped: playwright-core is not installed (scripts/lib.sh installs it with npm)');
  process.exit(77);
}
if (!fs.existsSync(CHROMIUM)) {
  console.log('skipped: ' + CHROMIUM + ' is not installed');
  process.exit(77);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zq-browser-'));
const simDir = path.join(work, 'sim');
fs.mkdirSync(simDir, { mode: 0o700 });
const port = 21000 + (process.pid % 20000);
const env = Object.assign({}, process.env, { ZELQUAR_SIM_DIR: simDir, ZELQUAR_NAMESPACE: 'zqweb-' + process.pid });
const children = [];
const failures = [];

function check(ok, what) {
  console.log((ok ? 'ok    ' : 'FAILED ') + what);
  if (!ok) failures.push(what);
}

function ctl(...command) {
  return execFileSync(path.join(prefix, 'bin/zelquar-sim'), ['ctl', '--dir', simDir, ...command], { env }).toString().trim();
}

const walker = 'E20000170000000000000077';
const scenario = {
  tags: [
    { epc: '300833B2DDD9014000000001', tid: 'E2801160200074CF', rssi: 30000 },
    { epc: '300833B2DDD9014000000002', tid: 'E2801160200074D0', rssi: 32000, kill_password: '0A0B0C0D' },
    { epc: walker, path: [[0, 20000], [1500, 60000], [3000, 20000]], path_repeat: true, noise: 300 },
  ],
};
fs.writeFileSync(path.join(work, 'scenario.json'), JSON.stringify(scenario));

function startAgent() {
  const agent = spawn(path.join(prefix, 'bin/zelquar-agent'),
                      ['--http', '127.0.0.1:' + port, '--journal', path.join(work, 'journal.db'), '--interval', '100',
                       '--leave-after', '600'], { env, stdio: ['ignore', 'ignore', 'inherit'] });
  children.push(agent);
  return agent;
}

async function until(what, test, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await test()) return true;
    await new Promise(r => setTimeout(r, 100));
  }
  check(false, what + ' (timed out)');
  return false;
}

async function agentUp() {
  return until('the agent answers', async () => {
    try { return (await fetch('http://127.0.0.1:' + port + '/api/health')).ok; } catch (e) { return false; }
  });
}

(async () => {
  const sim = spawn(path.join(prefix, 'bin/zelquar-sim'), ['--dir', simDir, '--scenario', path.join(work, 'scenario.json')],
                    { env, stdio: 'ignore' });
  children.push(sim);
  await until('the simulator publishes its reader', async () => fs.existsSync(path.join(simDir, 'reader0.json')));
  let agent = startAgent();
  await agentUp();

  const browser = await chromium.launch({
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  try {
    const context = await browser.newContext({ acceptDownloads: true, viewport: { width: 1400, height: 900 } });
    const page = await context.newPage();
    const errors = [];
    page.on('pageerror', e => errors.push(String(e)));
    await page.goto('http://127.0.0.1:' + port + '/');
    const rowCount = () => page.locator('#tags tbody tr').count();
    const row = (epc) => page.locator(`#tags tbody tr[data-epc="${epc}"]`);
    await until('the three tags are listed', async () => (await rowCount()) === 3);

    // Tags added and removed in the simulator.
    const added = 'E200001700000000000000AA';
    ctl('tag', 'add', JSON.stringify({ epc: added, rssi: 40000 }));
    await until('an added tag gets its row', async () => (await row(added).count()) === 1);
    ctl('tag', 'remove', added);
    await until('a removed tag is shown gone', async () => (await row(added).getAttribute('class')) === 'gone');

    // The moving tag's chart gains points.
    await row(walker).locator('input.chart-toggle').check();
    const points = async () => (await page.evaluate(() => window.zqChartPoints()))[walker] || 0;
    const first = await points();
    await until('the moving tag\'s chart gains points', async () => (await points()) >= first + 5);

    // The stream cut (the agent stopped and started again) resumes, nothing missed.
    agent.kill('SIGTERM');
    await new Promise(r => agent.once('exit', r));
    await until('the page sees the connection lost', async () =>
      (await page.getAttribute('#connection', 'data-state')) === 'lost');
    agent = startAgent();
    await agentUp();
    await until('the page resumes', async () => (await page.evaluate(() => window.zqStats.resumed)) >= 1, 30000);
    await until('events arrive after the resume', async () => (await page.evaluate(() => window.zqStats.events)) > 0);
    check((await page.evaluate(() => window.zqStats.missed)) === 0, 'no event missed across the restart');
    check((await page.textContent('#connection')).includes('no event missed'), 'the page says it missed none');

    // CSV: a line per row of the table.
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export')]);
    const csv = fs.readFileSync(await download.path(), 'utf8').trim().split('\n');
    check(csv.length === (await rowCount()) + 1 && csv[0].startsWith('reader,epc,'), 'the CSV holds the table\'s rows');

    // A new identity written from the page.
    const old = '300833B2DDD9014000000001';
    await row(old).locator('button[data-action="write-epc"]').click();
    await page.fill('#dialog-body input[name="uri"]', 'urn:epc:tag:sgtin-96:1.0614141.812345.6789');
    await page.click('#dialog-body button');
    await until('the written identity shows in the table', async () =>
      (await page.locator('#tags tbody tr td:nth-child(3)', { hasText: '(01)80614141123458(21)6789' }).count()) >= 1, 20000);

    // Kill asks for confirmation; declined, nothing happens.
    const victim = '300833B2DDD9014000000002';
    let asked = '';
    page.once('dialog', d => { asked = d.message(); d.dismiss(); });
    await row(victim).locator('button[data-action="kill"]').click();
    await page.fill('#dialog-body input[name="password"]', '0A0B0C0D');
    await page.click('#dialog-body button');
    await until('kill asks first', async () => asked.includes('Kill'));
    await page.keyboard.press('Escape');
    const state = JSON.parse(ctl('state').replace(/^OK /, ''));
    check(state.tags.find(t => t.epc === victim).state !== 'killed', 'a declined kill kills nothing');

    check(errors.length === 0, 'no script error on the page' + (errors.length ? ': ' + errors.join('; ') : ''));
    const stats = await page.evaluate(() => window.zqStats);
    console.log('page updates: ' + stats.updates + ', mean ' + (stats.totalMs / stats.updates).toFixed(1) + ' ms, max ' +
                stats.maxMs.toFixed(1) + ' ms');
    if (outDir) await page.screenshot({ path: path.join(outDir, 'live_view.png'), fullPage: true });
  } finally {
    await browser.close();
  }
})().catch(e => failures.push(String(e && e.stack || e))).finally(() => {
  for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
  setTimeout(() => {
    fs.rmSync(work, { recursive: true, force: true });
    if (failures.length) console.log('failures:\n  ' + failures.join('\n  '));
    process.exit(failures.length ? 1 : 0);
  }, 1500);
});
