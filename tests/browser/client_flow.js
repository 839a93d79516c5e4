'use strict';
// Drives the browser client (tools/js_client/index.html) in Debian's
// chromium through playwright-core, the way an administrator would: only
// clicks and typing on the page, never calls into window.torvane.
//
//   node tests/browser/client_flow.js CONFIG.json
//
// CONFIG holds:
//   url            the page, e.g. http://127.0.0.1:64567/index.html
//   userDataDir    a fresh, empty folder for the browser profile
//   artifacts      folder for the screenshot and page text on failure
//   flow           "manage" (discover, rename, watch) or "upgrade"
//   switches       { "rename": {mac, ip, password, newName},
//                    "watch": {mac, ip}, "upgrade": {mac, ip, password, newFw} }
//   firmware       path of the firmware file on the server's computer
//   firmwareSize   its size in bytes
//   timeoutMs      the whole run is bounded by this
//
// Lines on standard output talk to the test:
//   STEP name            a step begins
//   NEED what            the test must do something, then write a line "GO"
//                        on standard input: "sockets" (wait until the engine
//                        has opened its sockets), "silence MAC" (silence the
//                        switch)
//   PAGEERROR text       an uncaught exception in the page
//   ARTIFACT path        a file written on failure (screenshot, page text)
//   PASS                 every step passed (exit code 0)
//   FAIL step: text      a step failed (exit code 1)

const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');

const cfg = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const WAIT_MS = 20000;          // any one thing the page is waited for

const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run',
  '--disable-quic', '--disable-component-update', '--disable-sync',
];

let currentStep = 'launch';
const pageErrors = [];
const consoleErrors = [];

function out(line) { process.stdout.write(line.replace(/\n/g, ' | ') + '\n'); }
function step(name) { currentStep = name; out('STEP ' + name); }

// Lines from the test, one at a time.
const stdinLines = [];
let stdinWaiter = null;
readline.createInterface({ input: process.stdin }).on('line', (line) => {
  if (stdinWaiter) { const w = stdinWaiter; stdinWaiter = null; w(line); } else stdinLines.push(line);
});
function nextLine(timeoutMs) {
  if (stdinLines.length) return Promise.resolve(stdinLines.shift());
  return new Promise((resolve, reject) => {
    const t = setTimeout(() => { stdinWaiter = null; reject(new Error('no answer from the test')); }, timeoutMs);
    stdinWaiter = (line) => { clearTimeout(t); resolve(line); };
  });
}
async function need(what) {
  out('NEED ' + what);
  const line = await nextLine(15000);
  if (line.trim() !== 'GO') throw new Error('the test answered ' + JSON.stringify(line) + ' to ' + what);
}

function rowSel(table, mac) { return 'table#' + table + ' tbody tr[data-mac="' + mac + '"]'; }

async function text(page, selector) {
  return (await page.locator(selector).first().textContent({ timeout: WAIT_MS })).trim();
}

// Waits for the attribute of the first element matching selector to take
// one of the values; returns the value. Fails at once on an unwanted final
// value (given in `stop`) so a failure reads as what the page shows.
async function waitAttr(page, selector, attr, want, timeoutMs, stop) {
  const handle = await page.waitForFunction(([s, a, w, st]) => {
    const e = document.querySelector(s);
    const v = e && e.getAttribute(a);
    return v !== null && (w.includes(v) || (st || []).includes(v)) ? v : null;
  }, [selector, attr, want, stop || []], { timeout: timeoutMs || WAIT_MS, polling: 100 });
  const v = await handle.jsonValue();
  if (!want.includes(v)) throw new Error(selector + ' has ' + attr + '="' + v + '", wanted ' + want.join(' or '));
  return v;
}

async function startEngine(page) {
  step('page ready');
  await page.goto(cfg.url, { waitUntil: 'load', timeout: WAIT_MS });
  await page.waitForSelector('body[data-ready="1"]', { timeout: WAIT_MS });
  if (!(await page.evaluate(() => !!window.jQuery))) throw new Error('jquery.js did not load');

  step('start engine');
  await page.click('#btn-start');
  await waitAttr(page, '#engine-status', 'data-state', ['running'], WAIT_MS, ['error']);
  // The engine opens its sockets on a thread of its own: the test says when.
  await need('sockets');
}

async function discover(page, macs) {
  step('discover');
  await page.click('#btn-discover');
  for (const mac of macs) await page.waitForSelector(rowSel('switches', mac), { timeout: WAIT_MS });
  const status = await page.getAttribute('#discover-status', 'data-kind');
  if (status !== 'ok') throw new Error('discover status is ' + status + ': ' + await text(page, '#discover-status'));
}

async function rename(page, sw) {
  step('rename');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="edit"]');
  await page.waitForSelector('#edit-dialog[open]', { timeout: WAIT_MS });
  const shownMac = await page.inputValue('#edit-form input[name="macAddr"]');
  if (shownMac !== sw.mac) throw new Error('the dialog edits ' + shownMac + ', not ' + sw.mac);
  const shownIp = await page.inputValue('#edit-form input[name="agentIpAddr"]');
  if (shownIp !== sw.ip) throw new Error('the dialog shows the address ' + shownIp + ', not ' + sw.ip);
  await page.fill('#edit-form input[name="systemName"]', sw.newName);
  await page.fill('#edit-form input[name="oldPassword"]', sw.password);
  await page.click('#btn-apply');
  await page.waitForSelector('#edit-dialog:not([open])', { state: 'attached', timeout: WAIT_MS });
  const editError = (await page.textContent('#edit-error')).trim();
  if (editError) throw new Error('the dialog reports: ' + editError);

  step('rename outcome');
  // Pending first, then the outcome GetOperateResult brings.
  const outcome = 'table#outcomes tbody tr[data-mac="' + sw.mac + '"]';
  await page.waitForSelector(outcome, { timeout: WAIT_MS });
  await waitAttr(page, outcome, 'data-state', ['ok'], WAIT_MS, ['timeout', 'refused', 'unknown']);
  const result = await text(page, outcome + ' td[data-field="result"]');
  if (!/Applied by the switch/.test(result)) throw new Error('the outcome reads ' + JSON.stringify(result));

  step('renamed in the switch list');
  await page.waitForFunction(([s, name]) => {
    const c = document.querySelector(s);
    return c && c.textContent.trim() === name;
  }, [rowSel('switches', sw.mac) + ' td[data-field="systemName"]', sw.newName], { timeout: WAIT_MS });
}

async function watchUntilDead(page, sw) {
  step('polling interval 1 s');
  await page.fill('#refresh-time', '1');
  await page.click('#btn-refresh-time');
  await waitAttr(page, '#settings-status', 'data-kind', ['ok'], WAIT_MS, ['error']);

  step('watch');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="watch"]');
  const row = rowSel('monitor', sw.mac);
  await page.waitForSelector(row, { timeout: WAIT_MS });
  if ((await page.getAttribute(row, 'data-ip')) !== sw.ip) throw new Error('the watched row has another address');
  await waitAttr(page, row, 'data-alive', ['1'], WAIT_MS);
  const watchLabel = await text(page, rowSel('switches', sw.mac) + ' button[data-action="watch"]');
  if (watchLabel !== 'Watched') throw new Error('the switch list shows ' + JSON.stringify(watchLabel) + ' for a watched switch');

  step('silenced switch shown dead');
  await need('silence ' + sw.mac);
  // The engine polls every second; the page reads the list on its timer.
  await waitAttr(page, row, 'data-alive', ['0'], WAIT_MS);
  const label = await text(page, row + ' td[data-field="alive"]');
  if (label !== 'Dead') throw new Error('the state cell reads ' + JSON.stringify(label));
  await page.waitForSelector('#monitor-summary [data-testid="dead-count"]', { timeout: WAIT_MS });
}

async function upgrade(page, sw) {
  step('upgrade list');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="upgrade"]');
  const row = rowSel('upgrade', sw.mac);
  await page.waitForSelector(row, { timeout: WAIT_MS });
  await page.fill(row + ' input[name="password"]', sw.password);
  await page.fill('#fw-path', cfg.firmware);

  step('upgrade start');
  await page.click('#btn-upgrade-start');
  // The row leaves "new" once the server has queued it.
  await page.waitForFunction((s) => {
    const tr = document.querySelector(s);
    return tr && tr.dataset.state !== 'new';
  }, row, { timeout: WAIT_MS });
  const fwStatus = await page.getAttribute('#fw-status', 'data-kind');
  if (fwStatus !== 'ok') throw new Error('firmware file not taken: ' + await text(page, '#fw-status'));

  step('upgrade finished');
  await waitAttr(page, row, 'data-state', ['9'], 30000, ['10']);
  const bar = row + ' [data-testid="progress"]';
  const now = await page.getAttribute(bar, 'aria-valuenow');
  const barState = await page.getAttribute(bar, 'data-state');
  const sent = await page.getAttribute(bar, 'data-transmitted');
  const total = await page.getAttribute(bar, 'data-total');
  if (now !== '100' || barState !== 'done') throw new Error('progress bar at ' + now + '%, state ' + barState);
  if (sent !== String(cfg.firmwareSize) || total !== String(cfg.firmwareSize)) {
    throw new Error('progress shows ' + sent + ' of ' + total + ' bytes, the file has ' + cfg.firmwareSize);
  }
  const label = await text(page, bar + ' .label');
  if (!label.startsWith('100%')) throw new Error('progress label reads ' + JSON.stringify(label));
  const state = await text(page, row + ' td[data-field="upgradeStatus"]');
  if (state !== 'Upgraded') throw new Error('state cell reads ' + JSON.stringify(state));
  const fw = await text(page, row + ' td[data-field="fwVersion"]');
  if (!fw.endsWith('→ ' + sw.newFw)) throw new Error('firmware cell reads ' + JSON.stringify(fw));
  const problem = await text(page, row + ' td[data-field="failedCode"]');
  if (problem) throw new Error('problem cell reads ' + JSON.stringify(problem));
  await page.waitForFunction(() => /Finished: 1 of 1 upgraded/.test(document.getElementById('upgrade-status').textContent),
    null, { timeout: WAIT_MS });
}

async function saveArtifacts(page) {
  if (!page || !cfg.artifacts) return;
  fs.mkdirSync(cfg.artifacts, { recursive: true });
  const shot = path.join(cfg.artifacts, 'browser-' + cfg.flow + '.png');
  const textFile = path.join(cfg.artifacts, 'browser-' + cfg.flow + '.txt');
  try {
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: shot, fullPage: true, timeout: 10000 });
    out('ARTIFACT ' + shot);
  } catch (e) { out('ARTIFACT none: screenshot failed: ' + e.message); }
  try {
    const body = await page.evaluate(() => document.body.innerText);
    fs.writeFileSync(textFile, body + '\n\n--- page errors\n' + pageErrors.join('\n') +
      '\n--- console errors\n' + consoleErrors.join('\n') + '\n');
    out('ARTIFACT ' + textFile);
  } catch (e) { out('ARTIFACT none: page text unavailable: ' + e.message); }
}

async function main() {
  let context = null, page = null, failure = null;
  const watchdog = setTimeout(() => { out('FAIL ' + currentStep + ': the whole run took too long'); process.exit(2); },
    cfg.timeoutMs || 60000);
  try {
    context = await chromium.launchPersistentContext(cfg.userDataDir, {
      executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS,
      viewport: { width: 1600, height: 1000 }, timeout: 30000,
    });
    page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (e) => { pageErrors.push(String(e)); out('PAGEERROR ' + String(e)); });
    page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
    const sw = cfg.switches;
    await startEngine(page);
    if (cfg.flow === 'manage') {
      await discover(page, [sw.rename.mac, sw.watch.mac]);
      await rename(page, sw.rename);
      await watchUntilDead(page, sw.watch);
    } else if (cfg.flow === 'upgrade') {
      await discover(page, [sw.upgrade.mac]);
      await upgrade(page, sw.upgrade);
    } else {
      throw new Error('unknown flow ' + cfg.flow);
    }
    step('no page errors');
    if (pageErrors.length) throw new Error('uncaught exceptions in the page: ' + pageErrors.join('; '));
  } catch (e) {
    failure = currentStep + ': ' + (e && e.message ? e.message.split('\n')[0] : String(e));
    await saveArtifacts(page);
  }
  try { if (context) await context.close(); } catch (e) { /* the browser is gone already */ }
  clearTimeout(watchdog);
  out(failure ? 'FAIL ' + failure : 'PASS');
  process.exit(failure ? 1 : 0);
}

main();
