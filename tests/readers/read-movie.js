// Reads a movie with a reader that shares no code with ffmpeg and prints what
// it found as key=value lines, for the end-to-end tests:
//   node read-movie.js mp4box FILE    GPAC's reader in JavaScript (npm mp4box)
//   node read-movie.js mkvmerge FILE  mkvtoolnix's identification (mkvmerge -J)
// Lines: error=<text> for each complaint, tracks=N, then for the first track
// codec, width, height and (mp4box only) samples.
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

function report(tracks, errors) {
  for (const error of errors) console.log('error=' + String(error).replace(/\n/g, ' '));
  console.log('tracks=' + tracks.length);
  if (tracks.length === 0) return;
  for (const [key, value] of Object.entries(tracks[0])) console.log(key + '=' + value);
}

function readWithMp4box(file) {
  // Installed beside this script by the test command.
  const MP4Box = require(path.join(__dirname, 'node_modules', 'mp4box'));
  const data = fs.readFileSync(file);
  const buffer = data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength);
  buffer.fileStart = 0;
  const errors = [];
  let tracks = null;
  const movie = MP4Box.createFile();
  movie.onError = (error) => errors.push(error);
  movie.onReady = (info) => {
    tracks = info.tracks.map((t) => ({
      codec: t.codec,
      width: t.track_width,
      height: t.track_height,
      samples: t.nb_samples,
    }));
  };
  try {
    movie.appendBuffer(buffer);
    movie.flush();
  } catch (error) {
    errors.push('threw: ' + error);
  }
  if (tracks === null) errors.push('never ready');
  report(tracks || [], errors);
}

function readWithMkvmerge(file) {
  let identified;
  try {
    identified = JSON.parse(execFileSync('mkvmerge', ['-J', file], { encoding: 'utf8' }));
  } catch (error) {
    // mkvmerge exits non-zero on a file it refuses; its JSON still says why.
    identified = JSON.parse(error.stdout || '{"errors":["mkvmerge failed"]}');
  }
  const errors = identified.errors || [];
  if (identified.container && !identified.container.recognized) errors.push('not recognized');
  const tracks = (identified.tracks || []).map((t) => {
    const [width, height] = ((t.properties || {}).pixel_dimensions || 'x').split('x');
    return { type: t.type, codec: t.codec, width, height };
  });
  report(tracks, errors);
}

const [reader, file] = process.argv.slice(2);
if (reader === 'mp4box') readWithMp4box(file);
else if (reader === 'mkvmerge') readWithMkvmerge(file);
else {
  console.log('error=unknown reader ' + reader);
  process.exitCode = 2;
}
