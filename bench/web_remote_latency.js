// The browser half of web_remote_latency.py: sends /go over OSC (UDP) and
// times, for each GO, the OSC feedback reporting the new current cue to a
// UDP subscriber (the baseline) and the page showing it in chromium (its
// Now line changed, and the next frame drawn after that).
//
// usage: node web_remote_latency.js PUPPETEER_DIR PAGE_URL OSC_PORT GOS
// Prints one JSON object: {"osc": [ms...], "dom": [ms...], "frame": [ms...]}.
"use strict";

const dgram = require("dgram");
const fs = require("fs");
const os = require("os");
const path = require("path");

const [puppeteerDir, url, oscPortText, gosText] = process.argv.slice(2);
const puppeteer = require(path.resolve(puppeteerDir, "node_modules", "puppeteer-core"));
const oscPort = Number(oscPortText);
const gos = Number(gosText);

const now = () => performance.timeOrigin + performance.now();

function oscString(text) {
  const bytes = Buffer.from(`${text}\0`);
  return Buffer.concat([bytes, Buffer.alloc((4 - (bytes.length % 4)) % 4)]);
}

function oscMessage(address, ...ints) {
  const tags = oscString(`,${"i".repeat(ints.length)}`);
  const values = ints.map((value) => {
    const bytes = Buffer.alloc(4);
    bytes.writeInt32BE(value);
    return bytes;
  });
  return Buffer.concat([oscString(address), tags, ...values]);
}

// The first string argument of `address` in an OSC packet (a bundle's
// elements searched in turn); null when the packet has none.
function firstString(packet, address) {
  const readString = (at) => {
    const end = packet.indexOf(0, at);
    return { text: packet.toString("utf8", at, end), next: (end + 4) & ~3 };
  };
  const search = (start, end) => {
    if (packet.toString("utf8", start, start + 8) === "#bundle\0") {
      for (let at = start + 16; at + 4 <= end;) {
        const size = packet.readInt32BE(at);
        const found = search(at + 4, at + 4 + size);
        if (found !== null) return found;
        at += 4 + size;
      }
      return null;
    }
    const name = readString(start);
    if (name.text !== address) return null;
    const tags = readString(name.next);
    return tags.text.startsWith(",s") ? readString(tags.next).text : null;
  };
  return search(0, packet.length);
}

// The page's Now line watched from inside: each change of #now-id with the
// time it happened and the time of the next frame drawn after it.
function watchNowLine() {
  const seen = [];
  let wake = null;
  const line = document.getElementById("now-id");
  new MutationObserver(() => {
    const record = { text: line.textContent, dom: performance.timeOrigin + performance.now(),
                     frame: null };
    seen.push(record);
    requestAnimationFrame(() => {
      record.frame = performance.timeOrigin + performance.now();
      if (wake) wake();
    });
  }).observe(line, { childList: true, characterData: true, subtree: true });
  window.nowLineChange = (index) => new Promise((resolve) => {
    const check = () => {
      if (seen.length > index && seen[index].frame !== null) {
        wake = null;
        resolve(seen[index]);
      } else {
        wake = check;
      }
    };
    check();
  });
}

// The page's clock less this process's: the reading with the shortest
// round trip of a few, taken at the middle of that trip.
async function clockOffset(page) {
  let best = null;
  for (let k = 0; k < 20; ++k) {
    const sent = now();
    const there = await page.evaluate(() => performance.timeOrigin + performance.now());
    const back = now();
    if (best === null || back - sent < best.trip) best = { trip: back - sent, offset: there - (sent + back) / 2 };
  }
  return best.offset;
}

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "bw-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: process.env.BW_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const socket = dgram.createSocket("udp4");
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 360, height: 740 });
    await page.goto(url, { waitUntil: "load" });
    await page.waitForFunction(() => document.getElementById("state").dataset.mode !== "",
                               { timeout: 60000 });
    await page.evaluate(watchNowLine);

    // Subscribed from this socket; renewed well inside the 60 s a
    // subscription lasts.
    let current = null;
    let waiting = null;
    socket.on("message", (packet) => {
      const id = firstString(packet, "/beamwright/current");
      if (id === null || id === current) return;
      current = id;
      if (waiting) waiting({ id, at: now() });
    });
    await new Promise((resolve) => socket.bind(0, "127.0.0.1", resolve));
    const subscribe = () => socket.send(oscMessage("/updates", 1), oscPort, "127.0.0.1");
    const firstState = new Promise((resolve) => { waiting = resolve; });
    subscribe();
    await firstState;
    let renewed = now();

    const offset = await clockOffset(page);
    const times = { osc: [], dom: [], frame: [] };
    for (let index = 0; index < gos; ++index) {
      if (now() - renewed > 20000) {
        subscribe();
        renewed = now();
      }
      const reported = new Promise((resolve) => { waiting = resolve; });
      const shown = page.evaluate((n) => window.nowLineChange(n), index);
      const sent = now();
      socket.send(oscMessage("/go"), oscPort, "127.0.0.1");
      const osc = await reported;
      const page_ = await shown;
      if (page_.text !== osc.id) throw new Error(`the page shows ${page_.text}, the feedback ${osc.id}`);
      times.osc.push(osc.at - sent);
      times.dom.push(page_.dom - offset - sent);
      times.frame.push(page_.frame - offset - sent);
      // A spell between GOs, spread over the page's frame interval.
      await new Promise((resolve) => setTimeout(resolve, 150 + ((index * 7) % 17)));
    }
    process.stdout.write(`${JSON.stringify(times)}\n`);
  } finally {
    socket.close();
    await browser.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((error) => {
  process.stderr.write(`web_remote_latency: ${error.stack || error}\n`);
  process.exit(1);
});
