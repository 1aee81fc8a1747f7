// Drives the system's chromium through puppeteer-core for the web remote's
// tests: one JSON step a line on stdin, one JSON answer a line on stdout
// ({"ok": true, "value": ...} or {"ok": false, "error": "..."}).
//
// usage: node browser.js PUPPETEER_DIR
//
// Steps (each a field "step" and its own fields):
//   open      {name, url, width, height, mobile}  a new page (a tab) at url
//   viewport  {name, width, height, mobile}
//   wait      {name, selector, text?, match?, visible?, seconds}  until the
//             element is there and, where given, its text is `text`, its text
//             matches the regular expression `match`, it is (not) visible
//   tap       {name, selector, seconds?}  a real tap (a click where the page
//             has no touch) on it once it is visible
//   text      {name, selector}  its text
//   boxes     {name, selectors}  the bounding box of each, null when hidden,
//             and the page's scroll width and height
//   aria      {name, names}  which of the named buttons the accessibility
//             tree lacks
//   formats   {name, cases}  [seconds, countingDown, expected] rows run
//             through the page's own formatTime; the rows that differ
//   movies    {name, cases}  [movie, expected] rows through describeMovie
//   screenshot {name, path}
//   problems  {name}  script errors and security policy reports so far
//   close     {name}
//   quit
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const readline = require("readline");

const puppeteer = require(path.resolve(process.argv[2], "node_modules", "puppeteer-core"));

const kFlags = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync"];

const pages = new Map(); // name -> {page, touch, problems}
let browser = null;
let profile = null;

async function start() {
  profile = fs.mkdtempSync(path.join(os.tmpdir(), "bw-chromium-"));
  browser = await puppeteer.launch({
    executablePath: process.env.BW_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    userDataDir: profile,
    args: kFlags,
  });
}

async function setViewport(entry, step) {
  entry.touch = !!step.mobile;
  await entry.page.setViewport({ width: step.width, height: step.height, deviceScaleFactor: 1,
                                 isMobile: !!step.mobile, hasTouch: !!step.mobile });
}

const steps = {
  async open(step) {
    const page = await browser.newPage();
    const entry = { page, touch: false, problems: [] };
    page.on("pageerror", (error) => entry.problems.push(`script error: ${error.message}`));
    page.on("console", (message) => {
      if (/Content Security Policy/i.test(message.text())) entry.problems.push(message.text());
    });
    pages.set(step.name, entry);
    await setViewport(entry, step);
    await page.goto(step.url, { waitUntil: "load" });
  },

  async viewport(step, entry) {
    await setViewport(entry, step);
  },

  async wait(step, entry) {
    const want = { selector: step.selector, text: step.text ?? null, match: step.match ?? null,
                   visible: step.visible ?? null };
    try {
      await entry.page.waitForFunction((want) => {
        const element = document.querySelector(want.selector);
        if (!element) return false;
        const text = element.textContent.trim();
        const box = element.getBoundingClientRect();
        const shown = box.width > 0 && box.height > 0;
        return (want.text === null || text === want.text)
          && (want.match === null || new RegExp(want.match).test(text))
          && (want.visible === null || shown === want.visible);
      }, { polling: 50, timeout: step.seconds * 1000 }, want);
    } catch (error) {
      const now = await entry.page.evaluate((selector) => {
        const element = document.querySelector(selector);
        return element && { text: element.textContent.trim(), hidden: element.hidden };
      }, step.selector);
      throw new Error(`${step.selector} did not become ${JSON.stringify(want)} in ${step.seconds} s;`
                      + ` it is ${JSON.stringify(now)}`);
    }
  },

  async tap(step, entry) {
    const element = await entry.page.waitForSelector(step.selector,
                                                     { visible: true, timeout: (step.seconds ?? 20) * 1000 });
    if (entry.touch) await element.tap();
    else await element.click();
  },

  async text(step, entry) {
    return entry.page.$eval(step.selector, (element) => element.textContent.trim());
  },

  async boxes(step, entry) {
    return entry.page.evaluate((selectors) => {
      const boxes = {};
      for (const selector of selectors) {
        const element = document.querySelector(selector);
        const box = element && element.getBoundingClientRect();
        boxes[selector] = box && box.width > 0 && box.height > 0
          ? { left: box.left, top: box.top, right: box.right, bottom: box.bottom } : null;
      }
      const root = document.documentElement;
      return { boxes, scrollWidth: root.scrollWidth, scrollHeight: root.scrollHeight,
               width: innerWidth, height: innerHeight };
    }, step.selectors);
  },

  async aria(step, entry) {
    const missing = [];
    for (const name of step.names) {
      const found = await entry.page.$(`::-p-aria([name="${name}"][role="button"])`);
      if (!found) missing.push(name);
    }
    return missing;
  },

  async formats(step, entry) {
    return entry.page.evaluate(async (cases) => {
      const { formatTime } = await import("/remote.js");
      return cases.filter(([seconds, countingDown, expected]) =>
        formatTime(seconds, countingDown) !== expected)
        .map(([seconds, countingDown, expected]) =>
          [seconds, countingDown, expected, formatTime(seconds, countingDown)]);
    }, step.cases);
  },

  async movies(step, entry) {
    return entry.page.evaluate(async (cases) => {
      const { describeMovie } = await import("/remote.js");
      return cases.filter(([movie, expected]) => describeMovie(movie) !== expected)
        .map(([movie, expected]) => [movie, expected, describeMovie(movie)]);
    }, step.cases);
  },

  async screenshot(step, entry) {
    await entry.page.screenshot({ path: step.path });
  },

  async problems(step, entry) {
    return entry.problems;
  },

  async close(step, entry) {
    await entry.page.close();
    pages.delete(step.name);
  },
};

async function run(step) {
  if (step.step !== "open" && !pages.has(step.name)) throw new Error(`no page named ${step.name}`);
  const handler = steps[step.step];
  if (!handler) throw new Error(`no step ${step.step}`);
  return handler(step, pages.get(step.name));
}

async function finish() {
  if (browser) await browser.close().catch(() => {});
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
}

async function main() {
  await start();
  const input = readline.createInterface({ input: process.stdin });
  for await (const line of input) {
    if (!line.trim()) continue;
    const step = JSON.parse(line);
    if (step.step === "quit") break;
    let answer;
    try {
      answer = { ok: true, value: (await run(step)) ?? null };
    } catch (error) {
      answer = { ok: false, error: String(error && error.message ? error.message : error) };
    }
    process.stdout.write(`${JSON.stringify(answer)}\n`);
  }
  await finish();
}

main().catch(async (error) => {
  process.stderr.write(`browser driver: ${error.stack || error}\n`);
  await finish();
  process.exit(1);
});
