// The web remote's page: one state object, filled from the server's
// messages and drawn whole after each, so the page shows exactly what the
// server last said. Commands go out as the server's JSON messages; the
// server decides what is taken.

const kWarningSeconds = 10;
const kCueLength = 8;
const kPasscodeLength = 12;
// A passcode has 4 to 12 digits: Enter waits for the fourth.
const kShortestPasscode = 4;
const kToastSeconds = 4;

// Reconnecting: every second for the first tries, then every 3 s.
const kQuickRetries = 5;
const kQuickRetrySeconds = 1;
const kSlowRetrySeconds = 3;

const view = {
  connected: false,
  everConnected: false,
  control: false,
  passcode: false,
  show: null, // the last `state` message
};

const $ = (id) => document.getElementById(id);

// Seconds as the show window writes them: whole seconds as m:ss or
// h:mm:ss, and a countdown under ten seconds in tenths ("9.4"), down to the
// tenth so that 0.0 is the end itself.
export function formatTime(seconds, countingDown) {
  if (!Number.isFinite(seconds) || seconds < 0) seconds = 0;
  if (countingDown && seconds < kWarningSeconds) {
    return (Math.floor(seconds * 10 + 1e-6) / 10).toFixed(1);
  }
  const whole = countingDown ? Math.ceil(seconds - 1e-6) : Math.floor(seconds + 1e-6);
  const hours = Math.floor(whole / 3600);
  const minutes = Math.floor(whole / 60) % 60;
  const secs = String(whole % 60).padStart(2, "0");
  return hours > 0 ? `${hours}:${String(minutes).padStart(2, "0")}:${secs}` : `${minutes}:${secs}`;
}

// The stage movie's line: "Movie 0:03 · 0:27 left", "Loop 0:03 of 0:30"
// (a loop's remaining time is what is left of its pass), or "Movie 0:03"
// while its length is not known.
export function describeMovie(movie) {
  if (!movie) return "";
  const elapsed = formatTime(movie.elapsed, false);
  if (movie.remaining === null || movie.remaining === undefined) return `Movie ${elapsed}`;
  if (movie.loops) {
    const pass = Math.round((movie.elapsed + movie.remaining) * 1000) / 1000;
    return `Loop ${elapsed} of ${formatTime(pass, false)}`;
  }
  return `Movie ${elapsed} · ${formatTime(movie.remaining, true)} left`;
}

function setText(id, text) {
  const element = $(id);
  if (element.textContent !== text) element.textContent = text;
}

function drawCue(prefix, cue) {
  setText(`${prefix}-id`, cue && cue.id ? cue.id : "—");
  setText(`${prefix}-description`, cue ? cue.description : "");
}

function drawWarnings(warnings) {
  const list = $("warnings");
  const texts = warnings || [];
  if ([...list.children].map((item) => item.textContent).join("\n") === texts.join("\n")) return;
  list.replaceChildren(...texts.map((text) => {
    const item = document.createElement("li");
    item.textContent = text;
    return item;
  }));
}

function drawShow(show) {
  drawCue("now", show.current);
  drawCue("next", show.next);
  $("next-wraps").hidden = !show.nextWraps;
  const mode = show.mode || "";
  setText("state", mode || "…");
  $("state").dataset.mode = mode;

  $("fade").hidden = !show.fade;
  if (show.fade) {
    $("fade-bar").value = Math.min(1, Math.max(0, show.fade.progress));
    setText("fade-remaining", `${formatTime(show.fade.remaining, true)} left`);
  }
  const movie = describeMovie(show.movie);
  $("movie").hidden = !movie;
  setText("movie", movie);
  const autoIn = show.autoIn;
  $("auto-in").hidden = autoIn === null || autoIn === undefined;
  if (!$("auto-in").hidden) setText("auto-in", `Next runs by itself in ${formatTime(autoIn, true)}`);

  drawWarnings(show.warnings);
  setText("clock", show.clock || "");
  $("clock").classList.toggle("lost", !!show.clockLost);
  const health = [];
  if (show.fps > 0) health.push(`${show.fps.toFixed(0)} fps`);
  if (show.framesDropped) health.push(`${show.framesDropped} dropped`);
  if (show.locked) health.push("locked for the performance");
  setText("health", health.join(" · "));
}

function draw() {
  const connection = $("connection");
  connection.dataset.connected = String(view.connected);
  setText("connection", view.connected ? "online"
                                       : view.everConnected ? "offline — reconnecting…"
                                                            : "connecting…");
  document.body.classList.toggle("offline", !view.connected);
  if (view.show) drawShow(view.show);

  const online = view.connected;
  $("controls").hidden = !(online && view.control);
  $("passcode").hidden = !(online && !view.control && view.passcode);
  $("local-only").hidden = !(online && !view.control && !view.passcode);
  $("goto").disabled = $("pad-display").value === "";
  $("passcode-enter").disabled = $("passcode-display").dataset.code.length < kShortestPasscode;
}

let toastTimer = null;
function toast(message) {
  const element = $("toast");
  element.textContent = message;
  element.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { element.hidden = true; }, kToastSeconds * 1000);
}

// The connection

let socket = null;
let retries = 0;

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function receive(message) {
  switch (message.type) {
    case "hello":
      view.control = !!message.control;
      view.passcode = !!message.passcode;
      break;
    case "state":
      view.show = message;
      if (message.change === "goIgnored" && message.detail) toast(message.detail);
      break;
    case "control":
      view.control = !!message.control;
      break;
    case "error":
      toast(message.message);
      break;
    default:
      return; // a newer server's message: nothing to draw
  }
  draw();
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(`${scheme}//${location.host}/ws`);
  socket.addEventListener("open", () => {
    view.connected = true;
    view.everConnected = true;
    retries = 0;
    draw();
  });
  socket.addEventListener("message", (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch {
      return;
    }
    if (message && typeof message === "object") receive(message);
  });
  socket.addEventListener("close", () => {
    socket = null;
    view.connected = false;
    view.control = false;
    draw();
    const seconds = retries < kQuickRetries ? kQuickRetrySeconds : kSlowRetrySeconds;
    retries += 1;
    setTimeout(connect, seconds * 1000);
  });
}

// The pads

function cueKey(key) {
  const display = $("pad-display");
  const text = display.value;
  if (text.length >= kCueLength || (key === "." && text.includes("."))) return;
  display.value = text + key;
  draw();
}

function passcodeDigit(digit) {
  const display = $("passcode-display");
  const code = display.dataset.code;
  if (code.length >= kPasscodeLength) return;
  display.dataset.code = code + digit;
  display.value = "•".repeat(code.length + 1);
  draw();
}

function clearPasscode() {
  const display = $("passcode-display");
  display.dataset.code = "";
  display.value = "";
  draw();
}

function wire() {
  $("passcode-display").dataset.code = "";
  $("go").addEventListener("click", () => send({ type: "go" }));
  $("panic").addEventListener("click", () => send({ type: "panic" }));
  for (const button of document.querySelectorAll("#pad [data-key]")) {
    button.addEventListener("click", () => cueKey(button.dataset.key));
  }
  $("pad-clear").addEventListener("click", () => {
    $("pad-display").value = "";
    draw();
  });
  $("goto").addEventListener("click", () => {
    const cue = $("pad-display").value;
    if (!cue) return;
    send({ type: "goto", cue });
    $("pad-display").value = "";
    draw();
  });
  for (const button of document.querySelectorAll("#passcode [data-digit]")) {
    button.addEventListener("click", () => passcodeDigit(button.dataset.digit));
  }
  $("passcode-clear").addEventListener("click", clearPasscode);
  $("passcode-enter").addEventListener("click", () => {
    const code = $("passcode-display").dataset.code;
    if (!code) return;
    send({ type: "passcode", code });
    clearPasscode();
  });
}

wire();
draw();
connect();
