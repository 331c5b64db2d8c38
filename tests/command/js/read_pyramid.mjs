// Opens an OME-Zarr image with zarrita, a reader of the field, and prints as JSON what it finds:
// the multiscales entry, and for each level its array's shape, chunks and type and the bytes of
// its last chunk, as zarrita decodes it.
//   node read_pyramid.mjs NAME.ome.zarr
import * as zarr from "zarrita";
import { FileSystemStore } from "@zarrita/storage";

const group = await zarr.open.v2(zarr.root(new FileSystemStore(process.argv[2])), { kind: "group" });
const [multiscale] = group.attrs.multiscales;
const levels = [];
for (const dataset of multiscale.datasets) {
  const array = await zarr.open.v2(group.resolve(dataset.path), { kind: "array" });
  const last = array.shape.map((edge, axis) => Math.ceil(edge / array.chunks[axis]) - 1);
  const chunk = await array.getChunk(last);
  const bytes = Buffer.from(chunk.data.buffer, chunk.data.byteOffset, chunk.data.byteLength);
  levels.push({ shape: array.shape, chunks: array.chunks, dtype: array.dtype, lastChunk: last, data: bytes.toString("base64") });
}
console.log(JSON.stringify({ multiscale, levels }));
