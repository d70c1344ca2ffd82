// Drives Debian's chromium (puppeteer-core, nothing downloaded) through the example web
// upgrade. Prints one JSON line of what it saw; exits 77 when chromium cannot start at all.
//
//   node browser.js detached URL IMAGE_A CRC_A IMAGE_B CRC_B PID SHOT_MID SHOT_END SHOT_WATCHER
//     two tabs of the page at URL choose two images while an earlier job's tool (PID) is
//     stopped, let it go on, and upload them at once after its end: one starts the job,
//     the other is refused and follows it (SHOT_WATCHER at its verdict); the first is
//     watched to about 30 % (SHOT_MID) and closed; a new tab shows the verdict (SHOT_END)
//   node browser.js upload URL SHOT IMAGE [CRC [SIG]]
//     one upload to its verdict, whatever it is ("-" for no CRC file)
//   node browser.js look URL SHOT
//     the page opened, to the verdict of the device's last job
//   node browser.js noscript URL SHOT
//     the page with JavaScript off
//   node browser.js attack ATTACK_URL URL SHOT
//     a page of another origin that posts to the device; then the device's page
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
  // A tab in the background may be frozen by chromium: the one watched is in front.
  await page.bringToFront();
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

// The state of the page, in one word or two: "verdict ok", "bar 42".
const pageState = () => {
  const verdict = document.getElementById("verdict");
  return verdict.style.display === "block" ? "verdict " + verdict.className
                                           : "bar " + document.getElementById("bar").value;
};
const barValue = () => document.getElementById("bar").value;
// The bar while the page warns that the flash is written, else -1.
const writingBar = () => (getComputedStyle(document.getElementById("warning")).display !== "none"
                          ? document.getElementById("bar").value : -1);

async function open(browser, url) {
  const page = await browser.newPage();
  await page.setViewport({ width: 800, height: 600 });
  // The device's answers to the page's uploads, kept for the test (window.upgradeReplies).
  await page.evaluateOnNewDocument(() => {
    const fetch = window.fetch;
    window.upgradeReplies = [];
    window.fetch = async (...request) => {
      const reply = await fetch(...request);
      if (String(request[0]).includes("cgi-bin/upgrade")) {
        reply.clone().json().then((answer) => window.upgradeReplies.push(answer), () => {});
      }
      return reply;
    };
  });
  await page.goto(url, { waitUntil: "load" });
  return page;
}

// Chooses the files (crc "-" or undefined: none; sig: only when given), as a user does
// right after the page has opened.
async function choose(page, image, crc, sig) {
  await page.bringToFront();
  for (const [id, file] of [["#image", image], ["#crc", crc], ["#sig", sig]]) {
    if (file && file !== "-") await (await page.$(id)).uploadFile(file);
  }
}

async function verdictOf(page) {
  return page.evaluate(() => ({
    verdict_class: document.getElementById("verdict").className,
    verdict: document.getElementById("verdict").textContent,
    writes: document.getElementById("writes").textContent,
    note: document.getElementById("note").textContent,
    choices_left: ["image", "crc", "sig"].filter((id) => document.getElementById(id).value),
    bar_at_end: document.getElementById("bar").value,
    job_shown: getComputedStyle(document.getElementById("job")).display !== "none",
    warning_shown: getComputedStyle(document.getElementById("warning")).display !== "none",
  }));
}

// Two releases from two tabs at once, each chosen as soon as its tab opens, while the
// tab follows an earlier job of another page's (its tool stopped until then): one starts
// the job once that has ended, the other is refused and follows it. The first is watched to about 30 % (SHOT_MID, the image it names) and
// closed, a new tab opens; the new tab and the refused one both show the verdict.
async function detached(browser, url, imageA, crcA, imageB, crcB, pid, shotMid, shotEnd,
                        shotWatcher) {
  const result = {};
  const tabs = [await open(browser, url), await open(browser, url)];
  result.chose_during_job = [];
  for (const [tab, image, crc] of [[tabs[0], imageA, crcA], [tabs[1], imageB, crcB]]) {
    // The tab follows the earlier job (stopped, so it stays under way) before its choices.
    await watch(tab, writingBar, (v) => v >= 0);
    await choose(tab, image, crc);
    result.chose_during_job.push(await tab.evaluate(writingBar) >= 0);
  }
  process.kill(Number(pid), "SIGCONT");
  for (const tab of tabs) {
    // Its button works once the earlier job has ended.
    await watch(tab, () => !document.getElementById("start").disabled, (v) => v);
  }
  // Both at once, as element clicks: a mouse click waits for a frame that a tab in the
  // background never draws.
  await Promise.all(tabs.map((tab) => tab.evaluate(() => document.getElementById("start").click())));
  // Each tab's answer from the device; a tab whose click ended in a verdict of the page's
  // own sent nothing, and is reported as such at once.
  const answerOf = () => window.upgradeReplies[0] ||
      (document.getElementById("verdict").style.display === "block"
        ? { page: document.getElementById("verdict").textContent } : null);
  const end = Date.now() + LIMIT;
  let replies = [];
  while (Date.now() < end) {
    replies = await Promise.all(tabs.map((tab) => tab.evaluate(answerOf)));
    if (!replies.includes(null)) break;
    await sleep(50);
  }
  result.replies = replies;
  const started = replies.map((r) => Boolean(r && r.started));
  if (started.filter(Boolean).length !== 1 || replies.some((r) => !r || r.page)) {
    throw new Error("not one tab started and one refused: " + JSON.stringify(replies));
  }
  result.started_tab = started.indexOf(true);
  const [first, watcher] = started[0] ? tabs : [tabs[1], tabs[0]];
  try {
    result.first_tab = await watch(first, writingBar, (v) => v >= 30);
  } catch (error) {
    // What the tab shows instead, for the report.
    const shown = await verdictOf(first);
    shown.phase = await first.evaluate(() => document.getElementById("phase").textContent);
    shown.output = await first.evaluate(() => document.getElementById("output").textContent);
    throw new Error(error.message + "; the sending tab shows " + JSON.stringify(shown));
  }
  result.warning_mid_write = await first.evaluate(
      () => getComputedStyle(document.getElementById("warning")).display !== "none");
  result.first_writes = (await verdictOf(first)).writes;
  await first.screenshot({ path: shotMid });
  await first.close();
  result.closed_at = result.first_tab[result.first_tab.length - 1];
  const second = await open(browser, url);
  result.second_tab = await watch(second, pageState, (v) => v.startsWith("verdict"));
  Object.assign(result, await verdictOf(second));
  await second.screenshot({ path: shotEnd });
  result.watcher_tab = await watch(watcher, pageState, (v) => v.startsWith("verdict"));
  result.watcher = await verdictOf(watcher);
  await watcher.screenshot({ path: shotWatcher });
  return result;
}

// One upload from one tab, to its verdict (a refusal, or the job's end): SHOT of it.
async function upload(browser, url, shot, image, crc, sig) {
  const page = await open(browser, url);
  await choose(page, image, crc, sig);
  await watch(page, () => !document.getElementById("start").disabled, (v) => v);
  await page.evaluate(() => document.getElementById("start").click());
  const result = { tab: await watch(page, pageState, (v) => v.startsWith("verdict")) };
  Object.assign(result, await verdictOf(page));
  await page.screenshot({ path: shot });
  return result;
}

// The page opened, to the verdict it shows for the device's last job: SHOT of it.
async function look(browser, url, shot) {
  const page = await open(browser, url);
  const result = { tab: await watch(page, pageState, (v) => v.startsWith("verdict")) };
  Object.assign(result, await verdictOf(page));
  await page.screenshot({ path: shot });
  return result;
}

// The page with JavaScript off: what it says, and whether its button does anything.
async function noscript(browser, url, shot) {
  const page = await browser.newPage();
  await page.setJavaScriptEnabled(false);
  await page.setViewport({ width: 800, height: 600 });
  await page.goto(url, { waitUntil: "load" });
  const result = await page.evaluate(() => ({
    button_disabled: document.getElementById("start").disabled,
    says: document.body.innerText,
  }));
  await page.screenshot({ path: shot });
  return result;
}

// A page of another origin that posts to the device as soon as it opens (ATTACK sets its
// title to "sent" once every request has gone out); then the device's own page, SHOT.
async function attack(browser, attackUrl, url, shot) {
  const evil = await browser.newPage();
  await evil.goto(attackUrl, { waitUntil: "load" });
  const result = { attack: await watch(evil, () => document.title, (v) => v.startsWith("sent")) };
  result.attack_log = await evil.evaluate(() => document.getElementById("log").textContent);
  await evil.close();
  const page = await open(browser, url);
  await sleep(1500);
  Object.assign(result, await verdictOf(page));
  await page.screenshot({ path: shot });
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
    const modes = { detached, upload, look, attack, noscript, stream };
    const result = await modes[mode](browser, ...args);
    console.log(JSON.stringify(result));
  } catch (error) {
    console.log(JSON.stringify({ error: String(error) }));
    status = 1;
  } finally {
    await browser.close();
  }
  process.exit(status);
})();
