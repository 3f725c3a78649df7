// The status page of travcard serve, driven in Debian's chromium (headless)
// as an operator uses it. page_test.cpp starts the service and names what to
// expect in the environment:
//   PAGE_URL, PAGE_TOKEN; PAGE_PRINTING_RUN on PAGE_PRINTING_PRINTER, with
//   PAGE_QUEUED_RUN waiting behind it; PAGE_STOPPED_RUN, ended with tickets
//   in doubt; PAGE_OTHER_STATION_RUN, a run of the station 'line 3';
//   PAGE_REST_PRINTER, where its rest goes; PAGE_MARKUP, texts the
//   ERP gave that must show as text (a line each); CHROMIUM, the browser;
//   TRAVCARD_SCREENSHOT, where to save a screenshot (optional).
// Prints {"rest_run": N, "reprint_run": M} and exits 0 when every check held; otherwise lists
// what failed and exits 1.

import { createRequire } from 'node:module';

const { chromium } = createRequire(import.meta.url)('playwright-core');

const need = (name) => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set`);
  return value;
};
const url = need('PAGE_URL');
const token = need('PAGE_TOKEN');
const printingRun = need('PAGE_PRINTING_RUN');
const printingPrinter = need('PAGE_PRINTING_PRINTER');
const queuedRun = need('PAGE_QUEUED_RUN');
const stoppedRun = need('PAGE_STOPPED_RUN');
const otherStationRun = need('PAGE_OTHER_STATION_RUN');
const restPrinter = need('PAGE_REST_PRINTER');
const markup = need('PAGE_MARKUP').split('\n');

const failures = [];
const check = (held, what) => {
  if (!held) failures.push(what);
};
// What the browser said: script errors, CSP violations and failed loads,
// except the refusals the flow asks for (a wrong token, 401; Print the Rest
// while tickets are in doubt, 409), and every alert, confirm or prompt.
const consoleErrors = [];
const dialogs = [];

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true });
let restRun = null;
let reprintRun = null;
try {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  page.setDefaultTimeout(20_000);
  page.on('console', (message) => {
    if (message.type() !== 'error') return;
    const refused = (status, path) => message.text().includes(`status of ${status}`) && path.test(message.location().url);
    const expected = refused(401, /\/v1\/printers$/) || refused(409, /\/v1\/runs\/\d+\/rest$/);
    if (!expected) consoleErrors.push(`${message.text()} (${message.location().url})`);
  });
  page.on('pageerror', (error) => consoleErrors.push(`uncaught: ${error.message}`));
  page.on('dialog', async (dialog) => {
    dialogs.push(`${dialog.type()}: ${dialog.message()}`);
    await dialog.dismiss();
  });

  const response = await page.goto(url);
  const policy = response.headers()['content-security-policy'] || '';
  check(/script-src 'sha256-[^']+';/.test(policy) && !policy.includes('unsafe'), `the page's policy: ${policy}`);
  check(response.headers()['set-cookie'] === undefined, 'the page sets a cookie');

  // Sign-in, a wrong token first.
  await page.locator('#sign-in').waitFor();
  await page.fill('#token', 'not-the-token');
  await page.click('#sign-in button[type=submit]');
  await page.locator('#sign-in-message', { hasText: 'did not take the token' }).waitFor();
  check(await page.locator('#app').isHidden(), 'the runs show before sign-in');
  await page.fill('#token', token);
  await page.click('#sign-in button[type=submit]');
  await page.locator('#app').waitFor();
  check(await page.evaluate(() => document.cookie === ''), 'the page keeps a cookie');
  check(await page.evaluate((expected) => sessionStorage.getItem('travcard.token') === expected, token),
    'the token is not kept for the tab');

  // The printers and the runs.
  const printerRow = page.locator('#printer-rows tr', { hasText: printingPrinter });
  await printerRow.getByRole('button', { name: `Run ${printingRun}` }).waitFor();
  const runRow = (run) => page.locator(`#run-rows tr[data-run="${run}"]`);
  for (const run of [printingRun, queuedRun, stoppedRun]) await runRow(run).waitFor();

  // The service's station's runs; every station's, with theirs, once switched.
  check(await runRow(otherStationRun).count() === 0, 'another station\'s run shows with All stations off');
  await page.check('#all-stations');
  await runRow(otherStationRun).locator('td.station', { hasText: 'line 3' }).waitFor();
  await page.uncheck('#all-stations');
  await runRow(otherStationRun).waitFor({ state: 'detached' });

  // Cancel the run that waits.
  await runRow(queuedRun).click();
  await page.locator('#run-title', { hasText: `Run ${queuedRun}` }).waitFor();
  await page.click('#cancel');
  await page.getByRole('button', { name: 'Cancel the run' }).click();
  await runRow(queuedRun).locator('td', { hasText: 'cancelled' }).waitFor();

  // The stopped run's tickets, the ERP's text among them.
  await runRow(stoppedRun).click();
  await page.locator('#run-title', { hasText: `Run ${stoppedRun}` }).waitFor();
  await page.locator('#ticket-rows tr').first().waitFor();
  const cells = await page.locator('#ticket-rows td').allTextContents();
  for (const text of markup) check(cells.includes(text), `the ticket does not show ${text} as text`);

  // Print the Rest, asked what to do with the tickets in doubt.
  await page.selectOption('#printer-choice', restPrinter);
  await page.click('#rest');
  await page.locator('#ask').waitFor();
  check((await page.locator('#ask-text').textContent()).trim() !== '', 'the question about the tickets in doubt is empty');
  await page.getByRole('button', { name: 'Print them' }).click();
  const title = page.locator('#run-title', { hasNotText: `Run ${stoppedRun}` });
  await title.waitFor();
  restRun = Number((await title.textContent()).replace(/\D/g, ''));
  await page.locator('#run-fields dd', { hasText: /^printed/ }).waitFor({ timeout: 60_000 });
  await runRow(restRun).locator('td', { hasText: /^printed/ }).waitFor();
  const restCells = await page.locator('#ticket-rows td').allTextContents();
  check(markup.every((text) => restCells.includes(text)), 'the rest\'s tickets do not show the ERP\'s text');
  if (process.env.TRAVCARD_SCREENSHOT) {
    await page.locator('#printer-rows tr', { hasText: restPrinter }).locator('td', { hasText: 'nothing' }).waitFor();
    await page.screenshot({ path: process.env.TRAVCARD_SCREENSHOT });
  }

  // Reprint the first two tickets of the rest.
  await page.locator('#ticket-rows input[type=checkbox]').nth(0).check();
  await page.locator('#ticket-rows input[type=checkbox]').nth(1).check();
  await page.click('#reprint');
  const reprintTitle = page.locator('#run-title', { hasNotText: `Run ${restRun}` });
  await reprintTitle.waitFor();
  reprintRun = Number((await reprintTitle.textContent()).replace(/\D/g, ''));
  await runRow(reprintRun).locator('td', { hasText: /^printed/ }).waitFor();

  check(await page.evaluate(() => document.images.length === 0 && document.scripts.length === 1),
    'the ERP\'s text became elements');

} catch (error) {
  failures.push(`the page did not do as expected: ${error.message}`);
} finally {
  await browser.close();
}

check(dialogs.length === 0, `the page opened dialogs (script ran): ${dialogs.join('; ')}`);
check(consoleErrors.length === 0, `the browser's console has errors: ${[...new Set(consoleErrors)].join('; ')}`);
if (failures.length) {
  for (const failure of failures) console.error(failure);
  process.exit(1);
}
console.log(JSON.stringify({ rest_run: restRun, reprint_run: reprintRun }));
