// Subscribes to an OSC server's updates over TCP with SLIP framing through
// the osc.js package, sends /go, and prints every message of the bundles it
// gets as one JSON line, until a bundle's event is "go"; then closes.
// Usage: node osc-js-subscribe.js PORT
const osc = require("osc");

const port = Number(process.argv[2]);
const tcp = new osc.TCPSocketPort({ address: "127.0.0.1", port });
tcp.on("error", (error) => {
  console.error(error);
  process.exit(1);
});
let sentGo = false;
tcp.on("bundle", (bundle) => {
  for (const packet of bundle.packets) {
    console.log(JSON.stringify({ address: packet.address, args: packet.args }));
  }
  const event = bundle.packets.find((p) => p.address === "/beamwright/event");
  if (!sentGo) {
    // The answer to the subscription came: now the change.
    sentGo = true;
    tcp.send({ address: "/go", args: [] });
  } else if (event && event.args[0] === "go") {
    tcp.close();
    process.exit(0);
  }
});
tcp.on("ready", () => {
  tcp.send({ address: "/updates", args: [{ type: "i", value: 1 }] });
});
tcp.open();
