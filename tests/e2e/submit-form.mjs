// Fills in and submits HTML forms in Debian's headless Chromium, as a
// visitor would, and reports the page the browser shows afterwards.
//
//   node submit-form.mjs BROWSER.json < jobs
//
// BROWSER.json (JSON) names the Chromium to run, and optionally a folder for
// its fresh profile and a file to write its PID into. Then each line of
// standard input is one job (JSON), and one line of standard output answers
// it, until standard input ends. A job names the form's URL, the fields
// with what to type into each (or which option to pick, or a value to set
// without a click, as a bot does, even in a field people never see), the
// submit button, where to save a screenshot of the resulting page, and which
// elements to read from it. The click is expected to load the page at
// "expect_url" (by default "action_url", origin and path compared); with
// "wait_selector" it loads nothing, and the job waits until that element
// shows text (a form that posts with fetch() and writes the answer into its
// own page). With "reload" the page is then reloaded once, as a visitor's F5
// does. Its report holds the resulting URL, the page's title, its HTML as the
// browser parsed it, its visible text, the text of each element asked for,
// how many elements match each selector asked for, the seconds from the
// click to the loaded page, and after a reload "reloaded" (the URL, title and
// text again); or, when the visit failed, only "error".
//
// Chromium is started once, with a fresh profile and the flags below, and
// driven over its DevTools protocol (playwright-core's connectOverCDP); each
// job gets a browser context of its own (no cookies, cache or storage of
// earlier jobs). It listens for DevTools on 127.0.0.1 only and resolves no
// host name other than localhost, so nothing leaves the machine. It is
// ended by its PID whatever happens.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, existsSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { createInterface } from "node:readline";
import { chromium } from "playwright-core";

const DEFAULT_CHROMIUM = "/usr/bin/chromium";
const DEVTOOLS_WAIT_MS = 30000;  // for Chromium to announce its DevTools port
const STOP_WAIT_MS = 10000;      // for Chromium to go after SIGTERM
const POLL_MS = 50;
const VIEWPORT = { width: 1000, height: 800 };  // the window; a screenshot takes the whole page

const CHROMIUM_FLAGS = [
  "--headless",
  "--no-sandbox",
  "--disable-gpu",
  "--no-first-run",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
  // Loopback only: no QUIC, no proxy, no name resolution except localhost,
  // none of the browser's own services that call home.
  "--disable-quic",
  "--no-proxy-server",
  "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1",
  "--disable-extensions",
  "--disable-default-apps",
  "--disable-domain-reliability",
  "--disable-client-side-phishing-detection",
  "--disable-breakpad",
  "--disable-features=Translate,MediaRouter,OptimizationHints,AutofillServerCommunication",
  "--no-default-browser-check",
  "--no-pings",
  "--metrics-recording-only",
  "--password-store=basic",
  "--mute-audio",
  "--hide-scrollbars",
  "--remote-debugging-address=127.0.0.1",
  "--remote-debugging-port=0",
];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function alive(child) {
  return child.exitCode === null && child.signalCode === null;
}

async function waitForExit(child, ms) {
  const deadline = Date.now() + ms;
  while (alive(child) && Date.now() < deadline) await sleep(POLL_MS);
  return !alive(child);
}

// The DevTools port Chromium writes into its profile once it listens.
async function devtoolsPort(profile, child, log) {
  const file = path.join(profile, "DevToolsActivePort");
  const deadline = Date.now() + DEVTOOLS_WAIT_MS;
  while (Date.now() < deadline) {
    if (!alive(child)) throw new Error("Chromium ended at start-up:\n" + log.join(""));
    if (existsSync(file)) {
      const port = Number.parseInt(readFileSync(file, "utf8").split("\n")[0], 10);
      if (port > 0) return port;
    }
    await sleep(POLL_MS);
  }
  throw new Error("Chromium announced no DevTools port within " + DEVTOOLS_WAIT_MS + " ms:\n" + log.join(""));
}

async function stopChromium(child) {
  if (alive(child)) {
    try { process.kill(child.pid, "SIGTERM"); } catch { /* already gone */ }
    await waitForExit(child, STOP_WAIT_MS);
  }
  // Its own process group (detached): helpers that outlive the browser
  // (renderers, the crash handler) would go on writing into the profile.
  try { process.kill(-child.pid, "SIGKILL"); } catch { /* already gone */ }
  await waitForExit(child, STOP_WAIT_MS);
}

async function fillForm(page, job) {
  for (const field of job.fields) {
    const target = page.locator(field.selector);
    if (field.select !== undefined) {
      await target.selectOption({ label: field.select });
    } else if (field.set !== undefined) {
      // Straight into the element, as a script fills a form: no click, so
      // a field placed out of sight is filled all the same.
      await target.evaluate((element, value) => { element.value = value; }, field.set);
    } else {
      await target.click();
      // Key by key, as typed: a "\n" in a textarea is the Enter key.
      await target.pressSequentially(field.type);
    }
  }
}

async function visit(browser, job) {
  const context = await browser.newContext({ viewport: VIEWPORT });
  try {
    const page = await context.newPage();
    page.setDefaultTimeout(job.timeout_ms);
    await page.goto(job.form_url, { waitUntil: "load" });
    await fillForm(page, job);

    const started = Date.now();
    if (job.wait_selector) {
      await page.locator(job.submit).click();
      await page.waitForFunction((selector) => {
        const element = document.querySelector(selector);
        return element !== null && element.textContent.trim() !== "";
      }, job.wait_selector, { timeout: job.timeout_ms });
    } else {
      const wanted = new URL(job.expect_url || job.action_url);
      await Promise.all([
        page.waitForURL((url) => url.origin === wanted.origin && url.pathname === wanted.pathname,
          { waitUntil: "load", timeout: job.timeout_ms }),
        page.locator(job.submit).click(),
      ]);
    }
    const seconds = (Date.now() - started) / 1000;

    if (job.screenshot) await page.screenshot({ path: job.screenshot, fullPage: true });
    const elements = {};
    for (const selector of job.read || []) {
      const found = page.locator(selector);
      elements[selector] = (await found.count()) > 0 ? await found.first().innerText() : null;
    }
    const counts = {};
    for (const selector of job.count || []) counts[selector] = await page.locator(selector).count();
    const report = {
      url: page.url(),
      title: await page.title(),
      html: await page.content(),
      text: await page.locator("body").innerText(),
      elements,
      counts,
      seconds,
      browser: browser.version(),
    };
    if (job.reload) {
      await page.reload({ waitUntil: "load" });
      report.reloaded = { url: page.url(), title: await page.title(), text: await page.locator("body").innerText() };
    }
    return report;
  } finally {
    await context.close().catch(() => {});
  }
}

async function serve(settings) {
  const profile = mkdtempSync(path.join(settings.scratch || tmpdir(), "quillet-chromium-"));
  const environment = { ...process.env, HOME: profile, XDG_CONFIG_HOME: profile, XDG_CACHE_HOME: profile };
  for (const name of Object.keys(environment)) {
    if (/_proxy$/i.test(name)) delete environment[name];
  }
  const log = [];
  const child = spawn(settings.chromium || DEFAULT_CHROMIUM,
    [...CHROMIUM_FLAGS, "--user-data-dir=" + profile, "about:blank"],
    { env: environment, stdio: ["ignore", "pipe", "pipe"], detached: true });
  // Whoever runs this driver can end the browser by this PID (its process
  // group) should the driver itself be killed.
  if (settings.pid_file) writeFileSync(settings.pid_file, child.pid + "\n");
  child.stdout.on("data", (chunk) => log.push(chunk.toString()));
  child.stderr.on("data", (chunk) => log.push(chunk.toString()));
  let browser = null;
  try {
    const port = await devtoolsPort(profile, child, log);
    browser = await chromium.connectOverCDP("http://127.0.0.1:" + port);
    for await (const line of createInterface({ input: process.stdin })) {
      if (!line.trim()) continue;
      let report;
      try {
        report = await visit(browser, JSON.parse(line));
      } catch (error) {
        report = { error: String(error && error.stack ? error.stack : error) };
      }
      process.stdout.write(JSON.stringify(report) + "\n");
    }
  } finally {
    if (browser) await browser.close().catch(() => {});
    await stopChromium(child);
    // A profile that cannot be removed is no failure of the visits; the
    // test's scratch directory goes anyway.
    try {
      rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
    } catch { /* left for the scratch directory's removal */ }
  }
}

try {
  await serve(JSON.parse(readFileSync(process.argv[2], "utf8")));
} catch (error) {
  process.stderr.write("submit-form: " + (error && error.stack ? error.stack : error) + "\n");
  process.exit(1);
}
