// Drives Debian's chromium (puppeteer-core, nothing downloaded) through the example web
// upgrade. Prints one JSON line of what it saw; exits 77 when chromium cannot start at all.
//
//   node browser.js detached URL IMAGE SCREENSHOT
//     the page at URL: upload IMAGE, watch the bar advance, take SCREENSHOT and close the
//     tab at about 30 %, open the page in a new tab and wait for its verdict
//   node browser.js stream URL
//     a CGI that streams the tool's own output: close the tab at about 30 %
"use strict";
const puppeteer = require("puppeteer-core");

const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
const LIMIT = 180000;   // ms: only a hung run reaches it

async function launch() {
  try {
    return await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      // Root in CI has no user namespace sandbox; /dev/shm may be small in containers.
      args: ["--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run"],
      userDataDir: process.env.CHROMIUM_PROFILE,
    });
  } catch (error) {
    console.log(JSON.stringify({ skip: "chromium cannot start: " + String(error).split("\n")[0] }));
    process.exit(77);
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Samples fn() in the page until done(value) holds; returns every distinct value seen.
async function watch(page, fn, done) {
  const seen = [];
  const end = Date.now() + LIMIT;
  while (Date.now() < end) {
    let value;
    try {
      value = await page.evaluate(fn);
    } catch (error) {
      // A page still loading has no document to ask yet.
      if (!String(error).includes("context")) throw error;
      await sleep(50);
      continue;
    }
    if (seen.length === 0 || seen[seen.length - 1] !== value) seen.push(value);
    if (done(value)) return seen;
    await sleep(50);
  }
  throw new Error("gave up waiting; seen " + JSON.stringify(seen));
}

async function detached(browser, url, image, screenshot) {
  const result = {};
  const first = await browser.newPage();
  await first.setViewport({ width: 800, height: 600 });
  await first.goto(url, { waitUntil: "load" });
  const input = await first.$("#image");
  await input.uploadFile(image);
  await first.click("#start");
  result.first_tab = await watch(first, () => document.getElementById("bar").value,
                                 (v) => v >= 30);
  result.warning_shown = await first.evaluate(
      () => getComputedStyle(document.getElementById("warning")).display !== "none");
  await first.screenshot({ path: screenshot });
  await first.close();
  result.closed_at = result.first_tab[result.first_tab.length - 1];
  const second = await browser.newPage();
  await second.setViewport({ width: 800, height: 600 });
  await second.goto(url, { waitUntil: "load" });
  const state = () => {
    const verdict = document.getElementById("verdict");
    return verdict.style.display === "block" ? "verdict " + verdict.className
                                             : "bar " + document.getElementById("bar").value;
  };
  result.second_tab = await watch(second, state, (v) => v.startsWith("verdict"));
  result.verdict = await second.evaluate(() => document.getElementById("verdict").textContent);
  result.bar_at_end = await second.evaluate(() => document.getElementById("bar").value);
  await second.close();
  return result;
}

async function stream(browser, url) {
  const page = await browser.newPage();
  // The response never ends while the tool writes: its text is read as it comes.
  const loading = page.goto(url, { timeout: 0 }).catch(() => {});
  const percent = () => {
    const entries = (document.body ? document.body.innerText : "").match(/\d+ %/g);
    return entries ? parseInt(entries[entries.length - 1], 10) : 0;
  };
  const seen = await watch(page, percent, (v) => v >= 30);
  await page.close();
  await loading;
  return { tab: seen, closed_at: seen[seen.length - 1] };
}

(async () => {
  const [mode, ...args] = process.argv.slice(2);
  const browser = await launch();
  let status = 0;
  try {
    const result = mode === "detached" ? await detached(browser, ...args)
                                       : await stream(browser, ...args);
    console.log(JSON.stringify(result));
  } catch (error) {
    console.log(JSON.stringify({ error: String(error) }));
    status = 1;
  } finally {
    await browser.close();
  }
  process.exit(status);
})();
