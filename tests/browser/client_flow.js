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
//   flow           "manage" (discover, rename, watch), "upgrade", "job" (the
//                  whole job of an administrator, see jobFlow) or "scale"
//                  (many switches: render time, sort, filter, paging)
//   switches       { "rename": {mac, ip, password, newName},
//                    "watch": {mac, ip}, "upgrade": {mac, ip, password, newFw},
//                    "factory": {mac, ip, password, newIp, netmask, gateway},
//                    "trap": {mac, ip}, "upgrade2": {...like upgrade} }
//   firmware       path of the firmware file on the server's computer
//   firmwareSize   its size in bytes
//   cfgPath        "job": a configuration file path for save and load
//   allMacs        "job": every switch the discovery must find
//   count          "scale": how many switches the simulator plays
//   shots          folder for screenshots taken at checkpoints (optional)
//   timeoutMs      the whole run is bounded by this
//
// Lines on standard output talk to the test:
//   STEP name            a step begins
//   NEED what            the test must do something, then write a line "GO"
//                        on standard input: "sockets" (wait until the engine
//                        has opened its sockets), "silence MAC" (silence the
//                        switch), "trap MAC TEXT" (the switch sends a trap),
//                        "saved PATH COUNT" (check the saved file),
//                        "restart" (stop the server and start a fresh one)
//   FIGURE name value    a measured figure
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

// ---------------------------------------------------------------- the whole job

// Every POST the page makes, with its operation and HTTP status, so that
// faults the page provokes can be counted.
const exchanges = [];
function watchExchanges(page) {
  page.on('response', (r) => {
    const req = r.request();
    if (req.method() !== 'POST') return;
    const m = /<ns:(\w+)/.exec(req.postData() || '');
    exchanges.push({ t: Date.now(), op: m ? m[1] : '?', status: r.status() });
  });
}
function faultsSince(t0, op) {
  return exchanges.filter((e) => e.t >= t0 && e.status >= 400 && (!op || e.op === op));
}

async function shot(page, name, fullPage) {
  if (!cfg.shots) return;
  fs.mkdirSync(cfg.shots, { recursive: true });
  await page.screenshot({ path: path.join(cfg.shots, name + '.png'), fullPage: !!fullPage, timeout: 10000 });
}

async function waitText(page, selector, re, timeoutMs) {
  await page.waitForFunction(([s, src]) => {
    const e = document.querySelector(s);
    return e && new RegExp(src).test(e.textContent);
  }, [selector, re.source], { timeout: timeoutMs || WAIT_MS, polling: 100 });
}

async function engineStoppedAtFirst(page) {
  step('fresh server: engine shown not started');
  await page.goto(cfg.url, { waitUntil: 'load', timeout: WAIT_MS });
  await page.waitForSelector('body[data-ready="1"]', { timeout: WAIT_MS });
  const st = await page.getAttribute('#engine-status', 'data-state');
  if (st !== 'stopped') throw new Error('a fresh server shows the engine as ' + st);
  if (await page.isDisabled('#btn-start')) throw new Error('Start engine is disabled on a fresh server');
  if (!(await page.isDisabled('#btn-discover'))) throw new Error('Discover is enabled before the engine runs');
}

async function pollingInterval1s(page) {
  step('polling interval 1 s, shown from the server');
  await page.fill('#refresh-time', '1');
  await page.click('#btn-refresh-time');
  await waitAttr(page, '#settings-status', 'data-kind', ['ok'], WAIT_MS, ['error']);
  await waitText(page, '#poll-interval-text', /^1 s$/);
}

async function sortAndFilter(page, macs) {
  step('filter with a count');
  const total = macs.length;
  await waitText(page, '#switch-count', new RegExp('^' + total + ' switches$'));
  await page.fill('#switch-filter', macs[1]);
  await waitText(page, '#switch-count', new RegExp('^1 of ' + total + ' switches$'));
  const rows = await page.$$eval('table#switches tbody tr', (trs) => trs.map((t) => t.dataset.mac));
  if (rows.length !== 1 || rows[0] !== macs[1]) throw new Error('the filter shows ' + JSON.stringify(rows));
  await page.fill('#switch-filter', 'no-such-switch');
  await waitText(page, '#switch-count', new RegExp('^0 of ' + total + ' switches$'));
  await page.fill('#switch-filter', '');
  await waitText(page, '#switch-count', new RegExp('^' + total + ' switches$'));

  step('sort by any column');
  for (const key of ['macAddr', 'agentIpAddr', 'systemName', 'fwVersion', 'status']) {
    for (const dir of ['ascending', 'descending']) {
      await page.click('#switches th[data-sort="' + key + '"] button.sort');
      const sort = await page.getAttribute('#switches th[data-sort="' + key + '"]', 'aria-sort');
      if (sort !== dir) throw new Error('sorting by ' + key + ' shows aria-sort ' + sort + ', wanted ' + dir);
      if (key === 'status') continue;
      const values = await page.$$eval('table#switches tbody tr td[data-field="' + key + '"]', (tds) => tds.map((t) => t.textContent.trim()));
      const cmp = key === 'agentIpAddr'
        ? (a, b) => a.split('.').reduce((x, o) => x * 256 + Number(o), 0) - b.split('.').reduce((x, o) => x * 256 + Number(o), 0)
        : (a, b) => (a.toLowerCase() < b.toLowerCase() ? -1 : a.toLowerCase() > b.toLowerCase() ? 1 : 0);
      for (let i = 1; i < values.length; i++) {
        const c = cmp(values[i - 1], values[i]);
        if (dir === 'ascending' ? c > 0 : c < 0) throw new Error('sorted by ' + key + ' ' + dir + ' the column reads ' + JSON.stringify(values));
      }
    }
  }
  await page.click('#switches th[data-sort="macAddr"] button.sort');   // back to MAC order
}

async function readdress(page, sw) {
  step('re-address the factory-default switch');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="edit"]');
  await page.waitForSelector('#edit-dialog[open]', { timeout: WAIT_MS });
  await page.fill('#edit-form input[name="agentIpAddr"]', sw.newIp);
  await page.fill('#edit-form input[name="agentNetmask"]', sw.netmask);
  await page.fill('#edit-form input[name="agentGateway"]', sw.gateway);
  await page.fill('#edit-form input[name="oldPassword"]', sw.password);
  await page.click('#btn-apply');
  await page.waitForSelector('#edit-dialog:not([open])', { state: 'attached', timeout: WAIT_MS });
  const outcome = 'table#outcomes tbody tr[data-mac="' + sw.mac + '"]';
  await waitAttr(page, outcome, 'data-state', ['ok'], WAIT_MS, ['timeout', 'refused', 'unknown']);
  // The switch list follows the switch's answer: the new address.
  await page.waitForSelector(rowSel('switches', sw.mac) + '[data-ip="' + sw.newIp + '"]', { timeout: WAIT_MS });
  const change = await page.getAttribute(rowSel('switches', sw.mac) + ' td[data-field="status"]', 'data-change');
  if (change !== 'ok') throw new Error('the Status column shows the change as ' + change);

  step('re-addressed switch watched and alive');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="watch"]');
  const row = 'table#monitor tbody tr[data-ip="' + sw.newIp + '"]';
  await page.waitForSelector(row, { timeout: WAIT_MS });
  await waitAttr(page, row, 'data-answer', ['answered'], WAIT_MS, ['dead']);
  // Four polls at 1 s: a switch that did not move would be dead by now.
  await page.waitForTimeout(4500);
  const alive = await page.getAttribute(row, 'data-alive');
  const answer = await page.getAttribute(row, 'data-answer');
  if (alive !== '1' || answer !== 'answered') throw new Error('after four polls the re-addressed switch reads alive=' + alive + ' ' + answer);
  const last = await text(page, row + ' td[data-field="time"]');
  if (!/^\d{4}\/\d\d\/\d\d \d\d:\d\d:\d\d$/.test(last)) throw new Error('"Last answer" reads ' + JSON.stringify(last));
  const status = await page.getAttribute(rowSel('switches', sw.mac) + ' td[data-field="status"]', 'data-watch');
  if (status !== 'answered') throw new Error('the Status column shows the watched switch as ' + status);
}

async function watchOne(page, sw) {
  step('watch');
  await page.click(rowSel('switches', sw.mac) + ' button[data-action="watch"]');
  const row = 'table#monitor tbody tr[data-ip="' + sw.ip + '"]';
  await page.waitForSelector(row, { timeout: WAIT_MS });
  await waitAttr(page, row, 'data-answer', ['answered'], WAIT_MS, ['dead']);
}

async function noErrorNoise(page) {
  step('no faults from the periodic polls');
  const t0 = Date.now();
  // Several rounds of the page's timers: watched list, traps.
  await page.waitForTimeout(7000);
  const faults = faultsSince(t0);
  const polls = exchanges.filter((e) => e.t >= t0 && e.op === 'GetMonitorStatus').length;
  if (polls < 2) throw new Error('the page read the watched list ' + polls + ' times in 7 s');
  if (faults.length) throw new Error('periodic polling provoked faults: ' + faults.map((f) => f.op + ' ' + f.status).join(', '));
}

async function staleErrorClears(page) {
  step('a lost server is shown, and forgotten once it answers');
  await page.route('**/*', (route) => (route.request().method() === 'POST' ? route.abort('connectionrefused') : route.continue()));
  await page.click('#btn-refresh');
  await waitAttr(page, '#server-status', 'data-state', ['down']);
  await page.waitForSelector('#messages .msg[data-transient="1"]', { timeout: WAIT_MS });
  await waitAttr(page, '#discover-status', 'data-kind', ['error']);
  await page.unroute('**/*');
  await page.click('#btn-refresh');
  await waitAttr(page, '#server-status', 'data-state', ['connected']);
  await waitAttr(page, '#discover-status', 'data-kind', ['ok']);
  const left = await page.$$eval('#messages .msg', (ms) => ms.filter((m) => m.dataset.transient === '1').map((m) => m.textContent));
  if (left.length) throw new Error('the old error stays on screen: ' + left.join(' | '));
}

async function receiveTrap(page, sw) {
  step('trap');
  await need('trap ' + sw.mac + ' port 3 link down');
  const row = 'table#traps tbody tr[data-ip="' + sw.ip + '"]';
  await page.waitForSelector(row, { timeout: WAIT_MS });
  const msg = await text(page, row + ' td[data-field="string"]');
  if (msg !== 'port 3 link down') throw new Error('the trap reads ' + JSON.stringify(msg));
}

async function firmwareRefused(page) {
  step('firmware path that is no file refused');
  await page.fill('#fw-path', '/nonexistent/firmware.bin');
  await page.click('#btn-fw-set');
  await waitAttr(page, '#fw-status', 'data-kind', ['error'], WAIT_MS, ['ok']);
  const t = await text(page, '#fw-status');
  if (!/refused .*not an existing regular file/.test(t)) throw new Error('the firmware status reads ' + JSON.stringify(t));
  // A folder is no firmware file either.
  const folder = path.dirname(cfg.firmware);
  await page.fill('#fw-path', folder);
  const isSet = (r) => r.request().method() === 'POST' && /<ns:SetFwFilePath>/.test(r.request().postData() || '');
  const [resp] = await Promise.all([page.waitForResponse(isSet, { timeout: WAIT_MS }), page.click('#btn-fw-set')]);
  if (/<errorcode>1<\/errorcode>/.test(await resp.text())) {
    await waitText(page, '#fw-status', new RegExp('refused “' + folder.replace(/[.*+?^${}()|[\]\\]/g, '\\$&') + '”: it is not an existing regular file'));
  } else {
    out('NOTE the server took the folder ' + folder + ' as the firmware file');
  }
}

async function startTwoUpgrades(page, a, b) {
  step('two switches to upgrade');
  await page.fill('#switch-filter', '');
  for (const sw of [a, b]) await page.check(rowSel('switches', sw.mac) + ' input[data-action="select"]');
  await page.click('#btn-upgrade-add');
  for (const sw of [a, b]) {
    await page.waitForSelector(rowSel('upgrade', sw.mac), { timeout: WAIT_MS });
    await page.fill(rowSel('upgrade', sw.mac) + ' input[name="password"]', sw.password);
  }
  await page.fill('#fw-path', cfg.firmware);
  await page.click('#btn-upgrade-start');
  for (const sw of [a, b]) {
    await page.waitForFunction((s) => { const tr = document.querySelector(s); return tr && tr.dataset.state !== 'new'; },
      rowSel('upgrade', sw.mac), { timeout: WAIT_MS });
  }
  const fwStatus = await page.getAttribute('#fw-status', 'data-kind');
  if (fwStatus !== 'ok') throw new Error('firmware file not taken: ' + await text(page, '#fw-status'));
  // The upgrade is under way in the main list too.
  await page.waitForFunction((s) => {
    const c = document.querySelector(s);
    return c && ['queued', 'running', 'done'].includes(c.dataset.upgrade);
  }, rowSel('switches', a.mac) + ' td[data-field="status"]', { timeout: WAIT_MS });
}

async function upgradesFinished(page, list) {
  step('both upgrades finished');
  for (const sw of list) {
    const row = rowSel('upgrade', sw.mac);
    await waitAttr(page, row, 'data-state', ['9'], 60000, ['10']);
    const fw = await text(page, row + ' td[data-field="fwVersion"]');
    if (!fw.endsWith('→ ' + sw.newFw)) throw new Error('firmware cell reads ' + JSON.stringify(fw));
  }
  await waitText(page, '#upgrade-status', new RegExp('Finished: ' + list.length + ' of ' + list.length + ' upgraded'));
  step('switch list shows the new firmware');
  for (const sw of list) {
    await page.waitForFunction(([s, fw]) => {
      const c = document.querySelector(s);
      return c && c.textContent.trim() === fw;
    }, [rowSel('switches', sw.mac) + ' td[data-field="fwVersion"]', sw.newFw], { timeout: WAIT_MS });
    const up = await page.getAttribute(rowSel('switches', sw.mac) + ' td[data-field="status"]', 'data-upgrade');
    if (up !== 'done') throw new Error('the Status column shows the upgrade of ' + sw.mac + ' as ' + up);
  }
}

async function reloadMidway(page, expect) {
  step('reload mid-way: the true state');
  await page.reload({ waitUntil: 'load', timeout: WAIT_MS });
  await page.waitForSelector('body[data-ready="1"]', { timeout: WAIT_MS });
  await waitAttr(page, '#engine-status', 'data-state', ['running'], WAIT_MS, ['error']);
  if (!(await page.isDisabled('#btn-start'))) throw new Error('Start engine is offered while the engine runs');
  if (await page.isDisabled('#btn-discover')) throw new Error('Discover is disabled while the engine runs');
  for (const mac of expect.switches) await page.waitForSelector(rowSel('switches', mac), { timeout: WAIT_MS });
  for (const ip of expect.watched) await page.waitForSelector('table#monitor tbody tr[data-ip="' + ip + '"]', { timeout: WAIT_MS });
  for (const mac of expect.outcomes) {
    const st = await page.getAttribute('table#outcomes tbody tr[data-mac="' + mac + '"]', 'data-state');
    if (st !== 'ok') throw new Error('after the reload the outcome of ' + mac + ' reads ' + st);
  }
  for (const mac of expect.upgrading) await page.waitForSelector(rowSel('upgrade', mac), { timeout: WAIT_MS });
  const traps = await page.$$eval('table#traps tbody tr', (t) => t.length);
  if (traps < expect.traps) throw new Error('after the reload ' + traps + ' traps are listed');
}

async function saveAndLoad(page, watchedCount) {
  step('save the watched list');
  await page.fill('#cfg-path', cfg.cfgPath);
  await page.click('#btn-save');
  await waitAttr(page, '#file-status', 'data-kind', ['ok'], WAIT_MS, ['error']);
  await need('saved ' + cfg.cfgPath + ' ' + watchedCount);

  step('load warns before it can empty the list');
  await page.click('#btn-load');
  await page.waitForSelector('#confirm-dialog[open]', { timeout: WAIT_MS });
  const warning = await text(page, '#confirm-text');
  if (!/missing.*mistyped.*EMPTY/.test(warning)) throw new Error('the load confirmation reads ' + JSON.stringify(warning));
  await page.click('#btn-confirm-ok');
  await waitAttr(page, '#file-status', 'data-kind', ['ok'], WAIT_MS, ['error', 'warn']);
  await waitText(page, '#file-status', new RegExp('Loaded ' + watchedCount + ' switch'));
  await page.waitForFunction((n) => document.querySelectorAll('table#monitor tbody tr').length === n, watchedCount, { timeout: WAIT_MS });

  step('a failed save shows the server\'s text');
  // A server that could not write the file answers a SOAP fault that says
  // why; the page must show that text. A server that does not report it
  // (answers as if saved) is stood in for by the same fault.
  const bad = '/nonexistent/dir/list.cfg';
  await page.fill('#cfg-path', bad);
  const isSave = (r) => r.request().method() === 'POST' && /<ns:SaveFile>/.test(r.request().postData() || '');
  let [resp] = await Promise.all([page.waitForResponse(isSave, { timeout: WAIT_MS }), page.click('#btn-save')]);
  let why;
  if (resp.status() >= 400) {
    why = serverFaultText(await resp.text());
  } else {
    out('NOTE the server answered a save to ' + bad + ' as done; checking the page with a stand-in fault');
    why = 'SaveFile: cannot write ' + bad + ': No such file or directory';
    await page.route('**/*', (route) => {
      const req = route.request();
      if (req.method() === 'POST' && /<ns:SaveFile>/.test(req.postData() || '')) {
        return route.fulfill({ status: 500, contentType: 'text/xml; charset=utf-8', body:
          '<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">' +
          '<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>' + why + '</faultstring>' +
          '</SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>' });
      }
      return route.continue();
    });
    await page.click('#btn-save');
  }
  await waitAttr(page, '#file-status', 'data-kind', ['error'], WAIT_MS, ['ok']);
  const t = await text(page, '#file-status');
  if (!why || t.indexOf(why) < 0) throw new Error('the failed save reads ' + JSON.stringify(t) + ', the server said ' + JSON.stringify(why));
  await page.unroute('**/*');
}

// The text of a SOAP fault as the server wrote it: its faultstring and detail.
function serverFaultText(xml) {
  const decode = (x) => x.replace(/<[^>]*>/g, '').replace(/&lt;/g, '<').replace(/&gt;/g, '>')
    .replace(/&quot;/g, '"').replace(/&apos;/g, "'").replace(/&amp;/g, '&').trim();
  const f = /<faultstring>([\s\S]*?)<\/faultstring>/.exec(xml);
  const d = /<detail>([\s\S]*?)<\/detail>/.exec(xml);
  return d && decode(d[1]) ? decode(d[1]) : f ? decode(f[1]) : '';
}

async function download(page, button) {
  const [dl] = await Promise.all([page.waitForEvent('download', { timeout: WAIT_MS }), page.click(button)]);
  const file = await dl.path();
  return { name: dl.suggestedFilename(), text: fs.readFileSync(file, 'utf8') };
}

function parseCsv(text) {
  const rows = [];
  let row = [], cellText = '', quoted = false;
  text = text.replace(/^\ufeff/, '');
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') { cellText += '"'; i++; } else if (c === '"') quoted = false; else cellText += c;
    } else if (c === '"') quoted = true;
    else if (c === ',') { row.push(cellText); cellText = ''; }
    else if (c === '\n') { row.push(cellText.replace(/\r$/, '')); rows.push(row); row = []; cellText = ''; }
    else cellText += c;
  }
  if (cellText || row.length) { row.push(cellText); rows.push(row); }
  return rows;
}

async function exports(page, macs, watchedIps) {
  step('export the switch list');
  await page.fill('#switch-filter', '');
  const csv = await download(page, '#btn-export-switches-csv');
  if (!/^torvane-switches-.*\.csv$/.test(csv.name)) throw new Error('CSV named ' + csv.name);
  const rows = parseCsv(csv.text);
  const head = rows[0];
  const mi = head.indexOf('macAddr');
  if (mi < 0 || head.indexOf('status') < 0 || head.indexOf('oldPassword') >= 0) throw new Error('CSV header ' + head.join(','));
  const csvMacs = rows.slice(1).map((r) => r[mi]).sort();
  if (JSON.stringify(csvMacs) !== JSON.stringify(macs.slice().sort())) throw new Error('CSV lists ' + csvMacs.join(' '));
  const json = JSON.parse((await download(page, '#btn-export-switches-json')).text);
  if (json.count !== macs.length || json.items.length !== macs.length) throw new Error('JSON lists ' + json.count + ' switches');

  step('export the watched list');
  const mcsv = parseCsv((await download(page, '#btn-export-monitor-csv')).text);
  const ii = mcsv[0].indexOf('agentIpAddr');
  const ips = mcsv.slice(1).map((r) => r[ii]).sort();
  if (JSON.stringify(ips) !== JSON.stringify(watchedIps.slice().sort())) throw new Error('watched CSV lists ' + ips.join(' '));
  const mjson = JSON.parse((await download(page, '#btn-export-monitor-json')).text);
  if (mjson.items.length !== watchedIps.length || !('state' in mjson.items[0])) throw new Error('watched JSON ' + JSON.stringify(mjson).slice(0, 200));
}

// Every row action of the switch, watched and upgrade tables can be seen
// and clicked at this width: inside the window, inside the table's box,
// and not covered; the tables fit their boxes.
async function actionsReachable(page, width) {
  step('table at ' + width + ' px');
  await page.setViewportSize({ width: width, height: 900 });
  await page.locator('#sec-switches').scrollIntoViewIfNeeded();
  await page.evaluate(() => document.getElementById('switches-wrap').scrollLeft = 0);
  // Messages float over the page's corner until dismissed, as a user would.
  for (const b of await page.$$('#messages .msg button')) await b.click().catch(() => {});
  await page.waitForTimeout(200);
  const problems = await page.evaluate(() => {
    const out = [];
    for (const id of ['switches', 'monitor', 'upgrade']) {
      const table = document.getElementById(id);
      const w = table.closest('.table-wrap');
      const rows = table.querySelectorAll('tbody tr');
      if (!rows.length) out.push(id + ': no rows');
      rows.forEach((tr) => {
        tr.querySelectorAll('button[data-action]').forEach((b) => {
          b.scrollIntoView({ block: 'center', inline: 'nearest', behavior: 'instant' });
          const r = b.getBoundingClientRect();
          const wr = w.getBoundingClientRect();
          if (r.width < 10 || r.left < 0 || r.right > window.innerWidth || r.left < wr.left - 1 || r.right > wr.right + 1) {
            out.push(id + ' ' + tr.dataset.mac + ' ' + b.dataset.action + ' at ' + Math.round(r.left) + '..' + Math.round(r.right));
            return;
          }
          const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
          if (!hit || !(hit === b || b.contains(hit))) out.push(id + ' ' + tr.dataset.mac + ' ' + b.dataset.action + ' covered by ' + (hit ? hit.tagName + '.' + hit.className : 'nothing'));
        });
        // What an administrator needs at a glance stays on screen.
        const fields = { switches: ['status', 'macAddr', 'systemName', 'productName', 'fwVersion', 'isLoaderMode'],
                         monitor: ['alive', 'agentIpAddr', 'macAddr', 'systemName', 'fwVersion', 'time'],
                         upgrade: ['macAddr', 'fwVersion', 'upgradeStatus', 'progress', 'failedCode'] }[id];
        fields.forEach((f) => {
          const c = tr.querySelector('td[data-field="' + f + '"]');
          const r = c && c.getBoundingClientRect();
          if (!r || r.width < 8 || r.right > window.innerWidth) out.push(id + ' ' + tr.dataset.mac + ' ' + f + ' not visible');
        });
      });
      if (w.scrollWidth > w.clientWidth + 1) out.push(id + ' wider than its box: ' + w.scrollWidth + ' > ' + w.clientWidth);
    }
    return out;
  });
  await shot(page, 'switches-' + width);
  if (cfg.shots) {
    for (const sec of ['sec-outcomes', 'sec-monitor', 'sec-traps', 'sec-upgrade', 'sec-files', 'sec-settings']) {
      await page.locator('#' + sec).screenshot({ path: path.join(cfg.shots, sec + '-' + width + '.png'), timeout: 10000 });
    }
  }
  if (problems.length) throw new Error(problems.slice(0, 6).join('; '));
  // And a real click works: open and close the editor from the last row.
  const last = page.locator('table#switches tbody tr').last();
  await last.locator('button[data-action="edit"]').click();
  await page.waitForSelector('#edit-dialog[open]', { timeout: WAIT_MS });
  await page.click('#btn-cancel-edit');
}

async function jobFlow(page) {
  const sw = cfg.switches;
  const macs = cfg.allMacs;
  watchExchanges(page);
  await engineStoppedAtFirst(page);
  await startEngine(page);
  await discover(page, macs);
  await pollingInterval1s(page);
  await sortAndFilter(page, macs);
  await rename(page, sw.rename);
  await readdress(page, sw.factory);
  await watchOne(page, sw.trap);
  await noErrorNoise(page);
  await staleErrorClears(page);
  await receiveTrap(page, sw.trap);
  await firmwareRefused(page);
  await startTwoUpgrades(page, sw.upgrade, sw.upgrade2);
  await reloadMidway(page, {
    switches: macs, watched: [sw.factory.newIp, sw.trap.ip], outcomes: [sw.rename.mac, sw.factory.mac],
    upgrading: [sw.upgrade.mac, sw.upgrade2.mac], traps: 1 });
  await shot(page, 'after-reload');
  await upgradesFinished(page, [sw.upgrade, sw.upgrade2]);
  await saveAndLoad(page, 2);
  await exports(page, macs, [sw.factory.newIp, sw.trap.ip]);
  await actionsReachable(page, 1280);
  await actionsReachable(page, 800);
  await serverRestarted(page);
}

async function serverRestarted(page) {
  step('a restarted server: engine shown not running');
  await need('restart');
  await waitAttr(page, '#engine-status', 'data-state', ['stopped'], WAIT_MS);
  if (await page.isDisabled('#btn-start')) throw new Error('Start engine is disabled after the server restarted');
  await page.click('#btn-start');
  await waitAttr(page, '#engine-status', 'data-state', ['running'], WAIT_MS, ['error']);
}

// ---------------------------------------------------------------- many switches

async function refreshTimed(page, label) {
  await page.evaluate(() => { window.__longest = 0; });
  const t0 = Date.now();
  const reads = Number(await page.getAttribute('#switches', 'data-list-reads'));
  await page.click('#btn-refresh');
  await page.waitForFunction((r) => Number(document.getElementById('switches').dataset.listReads) > r, reads, { timeout: WAIT_MS });
  await page.waitForTimeout(300);
  out('FIGURE refresh_' + label + '_ms ' + (Date.now() - t0 - 300));
  out('FIGURE refresh_' + label + '_render_script_ms ' + (await page.getAttribute('#switches', 'data-render-ms')));
  out('FIGURE refresh_' + label + '_longest_task_ms ' + (await page.evaluate(() => window.__longest)).toFixed(0));
}

async function scaleFlow(page) {
  const n = cfg.count;
  step('discover ' + n + ' switches');
  await page.click('#btn-discover');
  await page.waitForFunction((want) => Number(document.getElementById('switch-count').dataset.total) >= want, n, { timeout: 30000 });
  const pageRows = await page.$$eval('table#switches tbody tr', (t) => t.length);
  if (pageRows !== 100) throw new Error('the first page holds ' + pageRows + ' rows');
  await waitText(page, '#page-info', new RegExp('^Rows 1–100 of ' + n + ' · page 1 of ' + Math.ceil(n / 100) + '$'));
  await page.click('#btn-page-next');
  await waitText(page, '#page-info', /^Rows 101–200 of /);

  step('refresh ' + n + ' switches, 100 rows a page');
  // The longest task that blocks the page while the list is read again
  // and shown: what an administrator would feel as a stall.
  await page.evaluate(() => {
    window.__longest = 0;
    new PerformanceObserver((l) => l.getEntries().forEach((e) => { window.__longest = Math.max(window.__longest, e.duration); }))
      .observe({ type: 'longtask', buffered: false });
  });
  await refreshTimed(page, 'page100');

  step('render ' + n + ' rows');
  // From the choice to the rows on screen, layout and paint included.
  const ms = await page.evaluate((want) => new Promise((resolve) => {
    const t0 = performance.now();
    const sel = document.getElementById('page-size');
    sel.value = '1000';
    sel.dispatchEvent(new Event('change'));
    requestAnimationFrame(() => requestAnimationFrame(() => {
      const rows = document.querySelectorAll('table#switches tbody tr').length;
      resolve(rows === want ? performance.now() - t0 : -rows);
    }));
  }), Math.min(n, 1000));
  if (ms < 0) throw new Error('the page shows ' + (-ms) + ' rows');
  out('FIGURE render_rows_ms ' + ms.toFixed(0));
  out('FIGURE render_rows_script_ms ' + (await page.getAttribute('#switches', 'data-render-ms')));
  await shot(page, 'scale-1000');

  step('refresh ' + n + ' rows');
  await refreshTimed(page, 'page1000');

  step('sort and filter ' + n + ' rows');
  const t1 = Date.now();
  await page.click('#switches th[data-sort="agentIpAddr"] button.sort');
  await page.click('#switches th[data-sort="agentIpAddr"] button.sort');
  out('FIGURE sort_twice_ms ' + (Date.now() - t1));
  out('FIGURE sort_script_ms ' + (await page.getAttribute('#switches', 'data-render-ms')));
  const firstIp = await text(page, 'table#switches tbody tr td[data-field="agentIpAddr"]');
  if (firstIp !== cfg.lastIp) throw new Error('sorted by address, descending, the first row is ' + firstIp);
  await page.fill('#switch-filter', cfg.lastIp);
  await waitText(page, '#switch-count', new RegExp('^1 of ' + n + ' switches$'));
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
    if (cfg.flow !== 'job') await startEngine(page);
    if (cfg.flow === 'manage') {
      await discover(page, [sw.rename.mac, sw.watch.mac]);
      await rename(page, sw.rename);
      await watchUntilDead(page, sw.watch);
    } else if (cfg.flow === 'upgrade') {
      await discover(page, [sw.upgrade.mac]);
      await upgrade(page, sw.upgrade);
    } else if (cfg.flow === 'job') {
      await jobFlow(page);
    } else if (cfg.flow === 'scale') {
      await scaleFlow(page);
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
