// The status page's first paint in Debian's chromium (headless) on loopback:
// LOADS loads (20 unless given), each in a fresh browser context with the
// token already in the tab's session, as a reload by a signed-in operator.
// For each: first-contentful-paint, and the time until the printers are
// listed (the first answer of the API shown). Prints a JSON object of the
// medians and every load's figures.
//   PAGE_URL, PAGE_TOKEN, CHROMIUM (default /usr/bin/chromium), LOADS

import { createRequire } from 'node:module';

const { chromium } = createRequire(import.meta.url)('playwright-core');

const url = process.env.PAGE_URL;
const token = process.env.PAGE_TOKEN;
const loads = Number(process.env.LOADS || 20);
if (!url || !token) throw new Error('PAGE_URL and PAGE_TOKEN are needed');

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true });
const firstPaint = [], printersShown = [];
try {
  for (let load = 0; load < loads + 1; ++load) {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    await context.addInitScript((kept) => sessionStorage.setItem('travcard.token', kept), token);
    const page = await context.newPage();
    await page.goto(url);
    const shown = await page.waitForFunction(() => document.querySelector('#printer-rows tr td') && performance.now());
    const figures = {
      // The entry is queued after the paint: it is waited for, 5 s at most.
      paint: await page.evaluate(() => new Promise((resolve) => {
        setTimeout(resolve, 5000);
        new PerformanceObserver((entries) => {
          const entry = entries.getEntriesByName('first-contentful-paint')[0];
          if (entry) resolve(entry.startTime);
        }).observe({ type: 'paint', buffered: true });
      })),
      shown: await shown.jsonValue(),
    };
    await context.close();
    if (load === 0) continue;  // the browser's own first start
    if (figures.paint === undefined) throw new Error('the browser reported no first-contentful-paint');
    firstPaint.push(figures.paint);
    printersShown.push(figures.shown);
  }
} finally {
  await browser.close();
}
console.log(JSON.stringify({
  loads, first_contentful_paint_ms: median(firstPaint), printers_shown_ms: median(printersShown),
  first_paints: firstPaint, printers_shown: printersShown,
}));
