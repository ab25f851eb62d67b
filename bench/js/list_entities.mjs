// The JavaScript peer of `aztable backup-table`: lists a table's entities with the official
// client (@azure/data-tables) and writes them as JSON lines. Prints "<entities> <seconds>".
//
// usage: AZURE_STORAGE_CONNECTION_STRING=... node list_entities.mjs TABLE UNTIL_SECONDS OUTFILE
import { createRequire } from "node:module";
import { createWriteStream } from "node:fs";
import { fileURLToPath } from "node:url";
import path from "node:path";

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, "../../tools/emulator/package.json"));
const { TableClient } = require("@azure/data-tables");

const [table, until, outFile] = process.argv.slice(2);
if (!table || !until || !outFile || !process.env.AZURE_STORAGE_CONNECTION_STRING) {
  console.error("usage: AZURE_STORAGE_CONNECTION_STRING=... node list_entities.mjs TABLE UNTIL_SECONDS OUTFILE");
  process.exit(2);
}
const client = TableClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING, table, {
  allowInsecureConnection: true,
});
const bound = new Date(Number(until) * 1000).toISOString().replace(/\.\d+Z$/, "Z");
const out = createWriteStream(outFile);
let entities = 0;
const start = process.hrtime.bigint();
for await (const page of client
  // Values stay as the service sent them (Int64, NaN and Infinity would not survive conversion).
  .listEntities({ queryOptions: { filter: `Timestamp le datetime'${bound}'` }, disableTypeConversion: true })
  .byPage({ maxPageSize: 1000 })) {
  let text = "";
  for (const entity of page) text += JSON.stringify(entity) + "\n";
  entities += page.length;
  if (!out.write(text)) await new Promise((resolve) => out.once("drain", resolve));
}
await new Promise((resolve) => out.end(resolve));
const seconds = Number(process.hrtime.bigint() - start) / 1e9;
console.log(`${entities} ${seconds.toFixed(3)}`);
