// An independent PDU codec for the text tests, on the npm node-pdu package.
//   node pdu_peer.js decode   < PDU hex lines  -> "<ref> <total> <part> <UTF-8 text as hex>" lines
//   node pdu_peer.js encode   < UTF-8 text hex lines -> one line per text: its PDU hex parts
// References, totals and part numbers are "-" for a unit without a concatenation header.
const path = require("path");
const { parse, Submit } = require(path.join(__dirname, "node_modules", "node-pdu"));

const mode = process.argv[2];
const lines = require("fs").readFileSync(0, "utf8").split("\n").filter((l) => l.trim() !== "");
for (const line of lines) {
  if (mode === "decode") {
    const pdu = parse(line.trim());
    const part = pdu.data.parts[0];
    const h = part.header;
    const f = (v) => (h && v !== undefined && v !== null ? String(v) : "-");
    const text = Buffer.from(pdu.data.getText(), "utf8").toString("hex");
    console.log([f(h && h.getPointer()), f(h && h.getSegments()), f(h && h.getCurrent()), text].join(" "));
  } else {
    const text = Buffer.from(line.trim(), "hex").toString("utf8");
    const submit = new Submit("+61412345678", text);
    console.log(submit.getPartStrings().join(" "));
  }
}
