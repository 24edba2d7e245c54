// Opens every report page of a folder in headless Chromium and checks that it
// renders: no console errors, no page errors, no request leaving the file,
// the timeline SVG with the lanes its NAME.expect.json lists, each lane drawn
// with a size, and a layout that fits windows of 1000, 1400 and 1900 px (the
// summary beside the chart from 1400 px). Keeps a screenshot NAME.png beside
// each page, and NAME-WIDTH.png for each width.
//
//   node check_reports.js DIR
//
// Exits 1 on a failed check, and when Chromium or playwright-core is missing,
// naming the command that installs it.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');

const CHROMIUM = process.env.REPORT_CHROMIUM || '/usr/bin/chromium';
const WIDTHS = [1000, 1400, 1900];
const ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync',
              '--disable-dev-shm-usage'];

function missing(why) {
  console.error('MISSING: ' + why);
  process.exit(1);
}

async function checkPage(context, file, expect) {
  const problems = [];
  const page = await context.newPage();
  try {
    page.on('console', (m) => { if (m.type() === 'error') problems.push('console error: ' + m.text()); });
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('request', (r) => {
      if (!r.url().startsWith('file://')) problems.push('request to ' + r.url());
    });
    await page.goto('file://' + file, { waitUntil: 'load' });
    const found = await page.evaluate(() => {
      const svg = document.querySelector('svg#timeline');
      if (!svg) return null;
      const lanes = [...svg.querySelectorAll('g.lane')].map((g) => {
        const box = g.getBBox();
        return { name: g.dataset.group + ' ' + g.dataset.lane, width: box.width, height: box.height };
      });
      const box = svg.getBoundingClientRect();
      return {
        lanes, width: box.width, height: box.height,
        scripts: document.scripts.length,
        curve: svg.querySelectorAll('path.curve').length,
        summary: document.querySelectorAll('table#summary tr').length,
      };
    });
    if (!found) {
      problems.push('no svg#timeline');
    } else {
      if (found.width < 100 || found.height < 100) problems.push('timeline has no size');
      if (found.scripts !== 0) problems.push('the page holds a script');
      if (found.curve !== 1) problems.push('no progress curve');
      if (found.summary < 4) problems.push('no summary table');
      for (const want of expect.lanes || []) {
        const lane = found.lanes.find((l) => l.name === want);
        if (!lane) problems.push('lane missing: ' + want);
        else if (lane.width <= 0 || lane.height <= 0) problems.push('lane not drawn: ' + want);
      }
      for (const unwanted of expect.absent_groups || []) {
        if (found.lanes.some((l) => l.name.startsWith(unwanted + ' '))) problems.push('unexpected lanes: ' + unwanted);
      }
    }
    await page.screenshot({ path: file.replace(/\.html$/, '.png'), fullPage: true });
    // The layout from a small laptop to a wide screen: nothing runs off to
    // the right, and from 1400 px on the summary stands beside the chart.
    for (const width of WIDTHS) {
      await page.setViewportSize({ width, height: 800 });
      const box = await page.evaluate(() => {
        const r = (el) => (el ? el.getBoundingClientRect() : null);
        const svg = r(document.querySelector('svg#timeline'));
        const side = r(document.querySelector('table#summary'));
        return { scroll: document.documentElement.scrollWidth, svg, side };
      });
      if (box.scroll > width) problems.push(`at ${width} px the page is ${box.scroll} px wide`);
      if (box.svg && box.svg.right > width) problems.push(`at ${width} px the chart runs past the window`);
      if (box.svg && box.svg.width < 0.6 * Math.min(width, 1400) - 450) problems.push(`at ${width} px the chart is squeezed`);
      if (width >= 1400 && box.svg && box.side && box.side.left < box.svg.right) {
        problems.push(`at ${width} px the summary is not beside the chart`);
      }
      await page.screenshot({ path: file.replace(/\.html$/, `-${width}.png`), fullPage: true });
    }
  } finally {
    await page.close();
  }
  return problems;
}

async function main() {
  const dir = process.argv[2];
  if (!dir) {
    console.error('usage: node check_reports.js DIR');
    process.exit(2);
  }
  if (!fs.existsSync(CHROMIUM)) missing(CHROMIUM + ' is missing: run tools/install-deps.sh');
  let chromium;
  try {
    ({ chromium } = require('playwright-core'));
  } catch (e) {
    missing('playwright-core is missing in tests/browser-report: run tools/install-npm-deps.sh');
  }
  const pages = fs.readdirSync(dir).filter((f) => f.endsWith('.html')).sort();
  if (pages.length === 0) {
    console.error('no report pages in ' + dir);
    process.exit(1);
  }
  // One browser with a fresh profile for this check, a new page per report.
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'report-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: ARGS, viewport: { width: 1500, height: 800 },
  });
  let failed = 0;
  try {
    for (const name of pages) {
      const file = path.resolve(dir, name);
      const expectFile = file.replace(/\.html$/, '.expect.json');
      const expect = fs.existsSync(expectFile) ? JSON.parse(fs.readFileSync(expectFile, 'utf8')) : {};
      const problems = await checkPage(context, file, expect);
      console.log((problems.length ? 'FAIL ' : 'ok   ') + name + (problems.length ? ': ' + problems.join('; ') : ''));
      failed += problems.length ? 1 : 0;
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  process.exit(failed ? 1 : 0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
