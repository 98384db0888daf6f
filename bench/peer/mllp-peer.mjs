// The peer the service is measured beside: an MLLP server built on
// @medplum/hl7 that writes every message it receives to a file of its own
// and then answers ACK^R01 (AA), as the service does for a result message.
//
//   node mllp-peer.mjs PORT OUTPUT_FOLDER
//
// Prints "listening PORT" once the port is open; stops on SIGTERM.
import { writeFile } from 'node:fs/promises';
import { join } from 'node:path';
import { Hl7Server } from '@medplum/hl7';

const port = Number(process.argv[2]);
const folder = process.argv[3];
if (!Number.isInteger(port) || port <= 0 || !folder) {
  console.error('usage: node mllp-peer.mjs PORT OUTPUT_FOLDER');
  process.exit(1);
}

let sequence = 0;
const server = new Hl7Server((connection) => {
  connection.addEventListener('message', async ({ message }) => {
    const name = join(folder, `${process.pid}-${++sequence}.hl7`);
    try {
      await writeFile(name, message.toString().replaceAll('\r', '\r\n'), { flag: 'wx' });
      connection.send(message.buildAck());
    } catch (err) {
      // No ACK: the analyzer sends the message again.
      console.error(`mllp-peer: ${name}: ${err.message}`);
    }
  });
  connection.addEventListener('error', () => {});
});
server.start(port, 'windows-1252');

const started = setInterval(() => {
  if (server.server?.listening) {
    clearInterval(started);
    console.log(`listening ${port}`);
  }
}, 10);
process.on('SIGTERM', () => process.exit(0));
