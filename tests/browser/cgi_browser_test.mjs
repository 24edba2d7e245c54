// Headless Chromium through the router's CGI pages, served by lighttpd in the
// simulated router (run under with_web_router, which sets WEB_URL, WEB_STATE
// and WEB_TMP). ARTIFACT_DIR receives the screenshot of the "please wait" page.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

// The browser driver is installed per checkout (tools/install-npm-deps.sh,
// which the CMake configure step runs when npm is there).
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (e) {
  console.error('playwright-core is missing in tests/browser: run tools/install-npm-deps.sh (' + e.message + ')');
  process.exit(1);
}

const base = process.env.WEB_URL;
const state = process.env.WEB_STATE;
const routerTmp = process.env.WEB_TMP;
const artifacts = process.env.ARTIFACT_DIR;
assert.ok(base && state && routerTmp && artifacts, 'run under with_web_router with ARTIFACT_DIR set');

const webpage = path.join(state, '2ndfile/webpage');
const pages = {
  'settings.html': '<html><body><form action="/cgi-bin/settings_restore" method="post" ' +
    'enctype="multipart/form-data"><input type="file" name="ipt_file_import">' +
    '<input type="submit" id="apply" value="Apply"></form></body></html>',
  'reboot.html': '<html><body>The router restarts.</body></html>',
  'log.html': '<html><body id="eventlog">Event log</body></html>',
  'canary.html': '<html><body><script>alert("canary")</script></body></html>',
};
for (const [name, text] of Object.entries(pages))
  fs.writeFileSync(path.join(webpage, name), text);
fs.mkdirSync(path.join(webpage, 'images'), { recursive: true });
// A 1x1 GIF for the page's progress image.
fs.writeFileSync(path.join(webpage, 'images/progress.gif'), Buffer.from(
  'R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7', 'base64'));

const store = () => fs.readFileSync(path.join(state, '2ndfile/nv/nv_store.cfg'), 'utf8');
const escape = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
const clearUrl = (target) =>
  `${base}/cgi-bin/eventlog_admin?which_cgi=clear_klog&webpage=${encodeURIComponent(target)}`;

// playwright gives every launch a fresh --user-data-dir of its own.
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  timeout: 60000,
});
let failed = false;
async function check(name, body) {
  const context = await browser.newContext();
  const page = await context.newPage();
  page.setDefaultTimeout(30000);
  const dialogs = [];
  page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss().catch(() => {}); });
  try {
    await body(page, dialogs);
    console.log(`ok   ${name}`);
  } catch (e) {
    failed = true;
    console.log(`FAIL ${name}\n${e.stack}`);
  } finally {
    await context.close();
  }
}

async function upload(page, text) {
  await page.goto(`${base}/settings.html`);
  await page.setInputFiles('input[name=ipt_file_import]',
    { name: 'settings.cfg', mimeType: 'application/octet-stream', buffer: Buffer.from(text) });
  await page.click('#apply');
}

await check('an uploaded configuration is imported and the browser goes to the reboot page', async (page) => {
  await upload(page, 'web_language_select=fr\nwifi_ssid=from_browser\n');
  await page.waitForURL(`${base}/reboot.html?id=reboot&reason=import_success`);
  assert.match(store(), /^wifi_ssid=from_browser$/m);
  assert.equal(fs.readFileSync(path.join(routerTmp, 'language_tmp.txt'), 'utf8'), 'en');
});

await check('a configuration the store refuses ends on the failure reboot page', async (page) => {
  await upload(page, 'nothing the store can use\n');
  await page.waitForURL(`${base}/reboot.html?id=import_failed&reason=import_failed`);
  assert.ok(!fs.existsSync(path.join(routerTmp, 'language_tmp.txt')));
});

await check('clearing the log moves on to the requested page', async (page) => {
  fs.writeFileSync(path.join(state, '2ndfile/log/logfile.txt'), 'kernel: link up\n');
  await page.goto(clearUrl('/log.html'));
  await page.waitForURL(`${base}/log.html`);
  assert.equal(fs.readFileSync(path.join(state, '2ndfile/log/logfile.txt'), 'utf8'), '');
  assert.equal(fs.readFileSync(path.join(routerTmp, 'version_info_display_flag'), 'utf8'), '0');
});

await check('the dialog watch sees a script that runs', async (page, dialogs) => {
  await page.goto(`${base}/canary.html`);
  await page.waitForFunction(() => document.readyState === 'complete');
  assert.deepEqual(dialogs, ['canary']);
});

const hostile = [
  '");alert(1);//',
  "');alert(1);//",
  '</script><script>alert(1)</script>',
  '/log.html");alert(1);("',
  "/log.html');alert(1);('",
  '/</script><img src=x onerror=alert(1)>',
  '//evil.example/',
];
for (const target of hostile) {
  await check(`hostile target ${target} runs no script`, async (page, dialogs) => {
    await page.goto(clearUrl(target));
    await page.waitForURL(`${base}/`);
    assert.deepEqual(dialogs, []);
  });
}

// Without script the page stays put: its elements can be counted, and the
// "please wait" page can be photographed.
const still = await browser.newContext({ javaScriptEnabled: false, viewport: { width: 800, height: 400 } });
for (const target of hostile) {
  const page = await still.newPage();
  try {
    await page.goto(clearUrl(target));
    const seen = await page.evaluate(() => ({
      scripts: [...document.scripts].map((s) => s.textContent),
      images: [...document.images].map((i) => i.getAttribute('src')),
      handlers: [...document.querySelectorAll('*')].filter((e) =>
        [...e.attributes].some((a) => a.name.startsWith('on'))).length,
    }));
    assert.deepEqual(seen, {
      scripts: ["  timer = setTimeout('location.replace(\"/\")', 20) "],
      images: ['/images/progress.gif'],
      handlers: 0,
    });
    console.log(`ok   hostile target ${target} injects no element`);
  } catch (e) {
    failed = true;
    console.log(`FAIL hostile target ${target} injects no element\n${e.stack}`);
  }
  await page.close();
}
try {
  const page = await still.newPage();
  await page.goto(clearUrl('/log.html'));
  await page.getByText('Please wait......').waitFor();
  fs.mkdirSync(artifacts, { recursive: true });
  const shot = path.join(artifacts, 'eventlog_please_wait.png');
  await page.screenshot({ path: shot });
  assert.ok(fs.statSync(shot).size > 0);
  console.log(`ok   screenshot of the please wait page: ${shot}`);
} catch (e) {
  failed = true;
  console.log(`FAIL screenshot of the please wait page\n${e.stack}`);
}
await still.close();
await browser.close();
process.exit(failed ? 1 : 0);
