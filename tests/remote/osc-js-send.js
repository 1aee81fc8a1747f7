// Sends `count` messages to an OSC server over TCP with SLIP framing, in
// order, through the osc.js package, then closes.
// Usage: node osc-js-send.js PORT COUNT
const osc = require("osc");

const [port, count] = process.argv.slice(2).map(Number);
const tcp = new osc.TCPSocketPort({ address: "127.0.0.1", port });
tcp.on("error", (error) => {
  console.error(error);
  process.exit(1);
});
tcp.on("ready", () => {
  for (let i = 0; i < count; i++) {
    tcp.send({
      address: "/cue",
      args: [
        { type: "i", value: i },
        { type: "f", value: i + 0.5 },
        { type: "s", value: "from osc.js" },
        { type: "b", value: new Uint8Array([1, 2, 3].slice(0, (i % 3) + 1)) },
      ],
    });
  }
  // Let the writes drain before closing.
  setTimeout(() => tcp.close(), 300);
});
tcp.open();
