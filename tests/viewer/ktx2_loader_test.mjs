// Loads the block-compressed KTX2 files kiv writes with three.js's KTX2Loader in Debian's chromium (headless,
// SwiftShader WebGL 2), draws each level texel for texel and compares it with the PNG level of the same run. Usage:
//   node --test ktx2_loader_test.mjs            with KIV (the program), KIV_DATA (the sample's folder) and
//                                               KIV_VIEWER (the viewer's folder: three.js, esbuild, playwright-core)
// A format whose WebGL extension the browser lacks is skipped, and the others are still tested. Without a chromium
// every test is skipped, unless KIV_REQUIRE_BROWSER=1 (the full test run sets it).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';

const chromiumPath = process.env.KIV_CHROMIUM || '/usr/bin/chromium';
const haveBrowser = existsSync(chromiumPath);
if (!haveBrowser && process.env.KIV_REQUIRE_BROWSER === '1') {
  throw new Error(`${chromiumPath} is missing: tools/run-tests.sh installs the chromium package`);
}
const viewerRequire = createRequire(join(process.env.KIV_VIEWER, 'package.json'));
const { chromium } = viewerRequire('playwright-core');

// The containers written, the extensions WebGL needs to sample them as sRGB, the least PSNR (dB, over RGB) against
// the PNG levels pooled over the levels of at least 4 x 4 (the codecs' quality on this texture, as kiv's own decoder
// measures it; this texture's fine patterns are hard on BC1's two colours) and the least PSNR of any one level, the
// smallest included (they catch a level missing, misplaced or decoded from the wrong blocks). The uncompressed file is
// the harness's control: every step from file to canvas must keep its bytes. astc8x8 is left out: KTX2Loader maps no
// ASTC footprint larger than 6 x 6.
const s3tc = ['WEBGL_compressed_texture_s3tc', 'WEBGL_compressed_texture_s3tc_srgb'];
const formats = [
  { name: 'ktx2', file: 'mip_box.ktx2', extensions: [], floor: Infinity, levelFloor: Infinity },
  { name: 'ktx2:bc7', file: 'mip_box_bc7.ktx2', extensions: ['EXT_texture_compression_bptc'], floor: 44,
    levelFloor: 25 },
  { name: 'ktx2:astc4x4', file: 'mip_box_astc4x4.ktx2', extensions: ['WEBGL_compressed_texture_astc'], floor: 40,
    levelFloor: 25 },
  { name: 'ktx2:astc6x6', file: 'mip_box_astc6x6.ktx2', extensions: ['WEBGL_compressed_texture_astc'], floor: 33,
    levelFloor: 24 },
  { name: 'ktx2:bc1', file: 'mip_box_bc1.ktx2', extensions: s3tc, floor: 30, levelFloor: 18 },
  { name: 'ktx2:bc3', file: 'mip_box_bc3.ktx2', extensions: s3tc, floor: 30, levelFloor: 18 },
];
// Every level of the 512 x 512 sample: the small ones end in blocks cut by the level's edge, and 6 x 6 blocks never
// fit a level.
const levels = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9];

let folder;
let browser;
let page;
const problems = [];

before(async () => {
  if (!haveBrowser) return;
  folder = mkdtempSync(join(tmpdir(), 'kiv-ktx2-'));
  // --fill-unused fills the PNG levels' unread texels as the compressed levels' are filled, so the whole level
  // can be compared.
  execFileSync(process.env.KIV, ['--format', `png,${formats.map((format) => format.name).join(',')}`,
    '--fill-unused', '-o', folder, join(process.env.KIV_DATA, 'sample.obj'),
    join(process.env.KIV_DATA, 'sample.png'), 'box'], { stdio: 'ignore' });

  // One self-contained page, opened from disk as a user would open the viewer's; ESM so that KTX2Loader's
  // import.meta.url (where it would look for the Basis transcoder, which raw formats never load) stays valid.
  const esbuild = viewerRequire('esbuild');
  const bundle = await esbuild.build({
    entryPoints: [join(dirname(fileURLToPath(import.meta.url)), 'ktx2_loader_page.js')],
    nodePaths: [join(process.env.KIV_VIEWER, 'node_modules')],
    bundle: true, format: 'esm', target: 'es2020', write: false, logLevel: 'warning',
  });
  const script = bundle.outputFiles[0].text.replaceAll('</script', '<\\/script');
  const pagePath = join(folder, 'ktx2_loader.html');
  writeFileSync(pagePath, `<!doctype html><meta charset="utf-8"><body><script type="module">${script}</script>`);

  browser = await chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'],
  });
  page = await browser.newPage();
  const pageUrl = pathToFileURL(pagePath).href;
  page.on('console', (message) => {
    if (['error', 'warning'].includes(message.type())) problems.push(message.text());
  });
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('request', (request) => {
    if (request.url() !== pageUrl && !request.url().startsWith('data:')) problems.push(`fetched ${request.url()}`);
  });
  await page.goto(pageUrl);
  await page.waitForFunction(() => document.body.dataset.ready, null, { timeout: 60000 });
});
after(async () => {
  await browser?.close();
  if (folder) rmSync(folder, { recursive: true, force: true });
});

function dataUrl(path, type) {
  return `data:${type};base64,${readFileSync(path).toString('base64')}`;
}

// The squared differences of the RGB channels of `seen` from `expected` (RGBA bytes) and their count; `column` and
// `row` map the seen pixel (x, y) to the expected pixel it is compared with, so that a mirrored picture can be tried.
function squaredError(seen, expected, width, height, column = (x) => x, row = (y) => y) {
  let squares = 0;
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const a = 4 * (y * width + x);
      const b = 4 * (row(y) * width + column(x));
      for (let c = 0; c < 3; ++c) squares += (seen[a + c] - expected[b + c]) ** 2;
    }
  }
  return { squares, samples: 3 * width * height };
}

const psnr = ({ squares, samples }) => (squares === 0 ? Infinity : 10 * Math.log10((255 * 255 * samples) / squares));
const decibels = (value) => (value === Infinity ? 'exact' : `${value.toFixed(2)} dB`);

for (const format of formats) {
  test(`${format.name}: three.js's KTX2Loader loads every level, and the levels drawn match the PNG levels`,
    { skip: !haveBrowser && `no browser at ${chromiumPath}` }, async (t) => {
      const supported = await page.evaluate((names) => names.map((name) => window.kivSupports(name)),
        format.extensions);
      const missing = format.extensions.filter((name, k) => !supported[k]);
      if (missing.length > 0) {
        t.diagnostic(`skipped ${format.name}: the browser's WebGL lacks ${missing.join(', ')}`);
        t.skip(`the browser's WebGL lacks ${missing.join(', ')}`);
        return;
      }
      problems.length = 0;
      const result = await page.evaluate(([url, wanted]) => window.kivDrawLevels(url, wanted),
        [dataUrl(join(folder, format.file), 'image/ktx2'), levels]);
      assert.deepEqual(problems, [], 'errors, warnings or fetches while loading');
      assert.deepEqual(result.glErrors, []);
      assert.equal(result.kind, format.extensions.length > 0 ? 'compressed' : 'data');
      assert.equal(result.colorSpace, 'srgb', 'the file describes sRGB colour');
      assert.equal(result.levelCount, 10, 'every level down to 1 x 1');
      let squares = 0;
      let samples = 0;
      for (const drawn of result.drawn) {
        const png = await page.evaluate((url) => window.kivDecodePng(url),
          dataUrl(join(folder, `mip_${drawn.level}_box.png`), 'image/png'));
        assert.deepEqual([drawn.width, drawn.height], [png.width, png.height], `level ${drawn.level}'s size`);
        const seen = Buffer.from(drawn.pixels, 'base64');
        const expected = Buffer.from(png.pixels, 'base64');
        const { width, height } = drawn;
        const error = squaredError(seen, expected, width, height);
        const match = psnr(error);
        // The texture is opaque, and three.js takes alpha from the blocks: it must be 255 there, not only by swizzle.
        assert.ok(seen.every((value, k) => k % 4 !== 3 || value === 255), `level ${drawn.level}'s alpha is not 1`);
        t.diagnostic(`${format.name} level ${drawn.level} (${width} x ${height}): ${decibels(match)}`);
        if (drawn.level === 0) {
          // The sample is asymmetric both ways: shown upside down or mirrored, it would match far worse.
          const flipped = psnr(squaredError(seen, expected, width, height, undefined, (y) => height - 1 - y));
          const mirrored = psnr(squaredError(seen, expected, width, height, (x) => width - 1 - x));
          t.diagnostic(`${format.name} level 0 against the PNG upside down: ${decibels(flipped)}, mirrored: `
            + `${decibels(mirrored)}`);
          assert.ok(match > Math.max(flipped, mirrored) + 10, 'level 0 is shown upside down or mirrored');
        }
        assert.ok(match >= format.levelFloor, `level ${drawn.level}: ${decibels(match)} against the PNG`);
        if (width >= 4 && height >= 4) {
          squares += error.squares;
          samples += error.samples;
        }
      }
      const pooled = psnr({ squares, samples });
      t.diagnostic(`${format.name} pooled over the levels of at least 4 x 4: ${decibels(pooled)}`);
      assert.ok(pooled >= format.floor, `${decibels(pooled)} pooled, below ${decibels(format.floor)}`);
    });
}
