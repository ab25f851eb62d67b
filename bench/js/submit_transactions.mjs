// The peer of the restore benchmark: writes N entities into a new table with the official
// JavaScript client, in transactions of 100 upserts per partition, and prints the rate.
//
//   node bench/js/submit_transactions.mjs --table T [--entities 100000] [--partitions 100]
//        [--concurrency 1] [--connection-string S]
//
// The connection string defaults to AZTABLE_TEST_CONNECTION_STRING (scripts/emulator start).
// The entities have the shape of bench/restore_emulator.sh's source table.
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, "../../tools/emulator/package.json"));
const { TableClient } = require("@azure/data-tables");

function option(name, fallback) {
  const i = process.argv.indexOf(`--${name}`);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const connection = option("connection-string", process.env.AZTABLE_TEST_CONNECTION_STRING);
const table = option("table");
const entities = Number(option("entities", "100000"));
const partitions = Number(option("partitions", "100"));
const concurrency = Number(option("concurrency", "1"));
if (!connection || !table) {
  console.error("usage: submit_transactions.mjs --table T [--entities N] [--partitions P] [--concurrency C]");
  process.exit(2);
}

export function benchEntity(i, partitions) {
  const p = i % partitions;
  return {
    partitionKey: `p${String(p).padStart(4, "0")}`,
    rowKey: `r${String(i).padStart(8, "0")}`,
    name: `entity ${i} ` + "x".repeat(80),
    count: i,
    big: { value: String(9007199254740993n + BigInt(i)), type: "Int64" },
    ratio: { value: String(i / 7), type: "Double" },
    flag: i % 2 === 0,
    when: new Date(Date.UTC(2024, 0, 1, 0, 0, i % 60)),
  };
}

const client = TableClient.fromConnectionString(connection, table, { allowInsecureConnection: true });
await client.createTable();

// Transactions of up to 100 entities of one partition, partition after partition.
const perPartition = Math.ceil(entities / partitions);
const transactions = [];
for (let p = 0; p < partitions; ++p) {
  let batch = [];
  for (let k = 0; k < perPartition; ++k) {
    const i = k * partitions + p;
    if (i >= entities) break;
    batch.push(["upsert", benchEntity(i, partitions), "Replace"]);
    if (batch.length === 100) {
      transactions.push(batch);
      batch = [];
    }
  }
  if (batch.length) transactions.push(batch);
}

const started = process.hrtime.bigint();
let next = 0;
async function worker() {
  while (next < transactions.length) {
    const batch = transactions[next++];
    await client.submitTransaction(batch);
  }
}
await Promise.all(Array.from({ length: concurrency }, worker));
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
console.log(JSON.stringify({ client: "@azure/data-tables", entities, partitions, concurrency, seconds,
                             entitiesPerSecond: Math.round(entities / seconds) }));
