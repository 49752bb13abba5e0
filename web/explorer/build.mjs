// Builds the explorer into the Python package: src/zarn/explorer/explorer.js and explorer.css
// (minified, no source maps, fonts inlined by GraphiQL's own stylesheet) and LICENSES.txt, the
// licences of every package in the bundle. index.html there is written by hand.
//
// Run with this machine's npm and node, from this directory: npm ci && npm run build
import * as esbuild from 'esbuild';
import { readFileSync, readdirSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { gzipSync } from 'node:zlib';

const here = dirname(fileURLToPath(import.meta.url));
const out = join(here, '..', '..', 'src', 'zarn', 'explorer');

const result = await esbuild.build({
  entryPoints: { explorer: join(here, 'src', 'explorer.jsx') },
  bundle: true,
  minify: true,
  format: 'iife',
  target: ['es2022'],
  jsx: 'automatic',
  define: { 'process.env.NODE_ENV': '"production"' },
  legalComments: 'none', // the licences go to LICENSES.txt
  sourcemap: false,
  metafile: true,
  write: false,
  outdir: out,
  logLevel: 'warning',
});

// GraphiQL's stylesheet inlines its fonts in every script subset; the Latin ones are kept and
// text in other scripts falls back to the system's fonts, which saves most of the stylesheet.
const latin = /unicode-range:\s*U\+0000-00FF,|unicode-range:\s*U\+0100-024F,/;
const keepLatinFonts = (css) => css.replace(/@font-face\s*\{[^}]*\}/g, (face) => (latin.test(face) ? face : ''));

const size = (n) => `${(n / 1024).toFixed(0)} KiB`;
for (const file of result.outputFiles) {
  const css = file.path.endsWith('.css');
  const text = css ? keepLatinFonts(file.text) : file.text;
  // The page inlines both files; neither may end its element early or fetch anything.
  const checks = css
    ? [/<\/style/i, /sourceMappingURL/, /url\((?!\s*["']?data:)/i, /@import/]
    : [/<\/script/i, /<!--[^]*<script/i, /sourceMappingURL/]; // <!-- ... <script would swallow the end tag
  for (const bad of checks) {
    if (bad.test(text)) throw new Error(`${file.path} contains ${bad}`);
  }
  const bytes = Buffer.from(text, 'utf8');
  writeFileSync(file.path, bytes);
  console.log(`${file.path.slice(out.length + 1)}: ${size(bytes.length)}, ${size(gzipSync(bytes, { level: 9 }).length)} gzipped`);
}

// One notice per bundled package, as their licences ask.
const packages = new Map();
for (const input of Object.keys(result.metafile.inputs)) {
  const match = input.match(/^(?:.*\/)?node_modules\/((?:@[^/]+\/)?[^/]+)\//);
  if (match) packages.set(match[1], input.slice(0, match.index + match[0].length));
}
const notices = [...packages].sort(([a], [b]) => a.localeCompare(b)).map(([name, dir]) => {
  const root = join(here, dir);
  const meta = JSON.parse(readFileSync(join(root, 'package.json'), 'utf8'));
  const file = readdirSync(root).find((f) => /^(licen[cs]e|copying)/i.test(f));
  const text = file ? readFileSync(join(root, file), 'utf8').trim() : `License: ${meta.license}`;
  return `${name} ${meta.version} (${meta.license})\n\n${text}\n`;
});
writeFileSync(join(out, 'LICENSES.txt'), notices.join('\n' + '-'.repeat(72) + '\n\n'));
console.log(`LICENSES.txt: ${notices.length} packages`);
