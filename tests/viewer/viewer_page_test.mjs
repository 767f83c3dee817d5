// Opens the page `kiv --viewer` writes in Debian's chromium (headless, software WebGL) from file://, as a user
// opening it from disk would, for two filters at a coarse forced level. Usage:
//   node --test viewer_page_test.mjs            with KIV (the program), KIV_DATA (the sample's folder) and
//                                               KIV_VIEWER (the viewer's folder, for playwright-core) set
// Without a chromium the test is skipped, unless KIV_REQUIRE_BROWSER=1 (the full test run sets it).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

const chromiumPath = process.env.KIV_CHROMIUM || '/usr/bin/chromium';
const haveBrowser = existsSync(chromiumPath);
if (!haveBrowser && process.env.KIV_REQUIRE_BROWSER === '1') {
  throw new Error(`${chromiumPath} is missing: tools/run-tests.sh installs the chromium package`);
}
const { chromium } = createRequire(join(process.env.KIV_VIEWER, 'package.json'))('playwright-core');

let folder;
let browser;
before(() => {
  if (!haveBrowser) return;
  folder = mkdtempSync(join(tmpdir(), 'kiv-viewer-'));
  execFileSync(process.env.KIV, ['--viewer', '-o', folder, join(process.env.KIV_DATA, 'sample.obj'),
    join(process.env.KIV_DATA, 'sample.png'), 'box', 'kivbi'], { stdio: 'ignore' });
});
after(async () => {
  await browser?.close();
  if (folder) rmSync(folder, { recursive: true, force: true });
});

// Loads the page with `query` and returns what a user would see on the canvas, and everything that went wrong.
async function look(query) {
  browser ??= await chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'],
  });
  const page = await browser.newPage({ viewport: { width: 640, height: 480 } });
  const problems = [];
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('request', (request) => {
    if (!/^(file|data):/.test(request.url())) problems.push(`fetched ${request.url()}`);
  });
  await page.goto(pathToFileURL(join(folder, 'viewer.html')).href + query);
  await page.waitForFunction(() => document.body.dataset.ready || document.querySelector('pre'), null,
    { timeout: 60000 });
  const seen = await page.evaluate(() => {
    const canvas = document.querySelector('canvas');
    const copy = Object.assign(document.createElement('canvas'), { width: canvas.width, height: canvas.height });
    const context = copy.getContext('2d');
    context.drawImage(canvas, 0, 0);
    const { data } = context.getImageData(0, 0, copy.width, copy.height);
    const [r, g, b] = data;  // the corner shows the background
    let covered = 0;
    for (let i = 0; i < data.length; i += 4) {
      if (Math.abs(data[i] - r) + Math.abs(data[i + 1] - g) + Math.abs(data[i + 2] - b) > 12) ++covered;
    }
    // The picture in 8 x 8 blocks (their mean colours): enough to compare two pictures, small to hand back.
    const blocks = [];
    for (let y = 0; y + 8 <= copy.height; y += 8) {
      for (let x = 0; x + 8 <= copy.width; x += 8) {
        const sum = [0, 0, 0];
        for (let j = 0; j < 64; ++j) {
          const at = 4 * ((y + (j >> 3)) * copy.width + x + (j & 7));
          for (let c = 0; c < 3; ++c) sum[c] += data[at + c];
        }
        blocks.push(sum.map((value) => value / 64));
      }
    }
    return {
      ready: document.body.dataset.ready === 'true',
      filter: document.getElementById('filter')?.value,
      level: document.getElementById('level')?.value,
      covered: covered / (data.length / 4),
      blocks,
    };
  });
  await page.close();
  return { ...seen, problems };
}

test('the page shows the model for each filter at a forced coarse level, and the pyramids differ',
  { skip: !haveBrowser && `no browser at ${chromiumPath}` }, async () => {
    const box = await look('?filter=box&level=4');
    const kivbi = await look('?filter=kivbi&level=4');
    for (const [name, seen] of [['box', box], ['kivbi', kivbi]]) {
      assert.deepEqual(seen.problems, [], `${name}: errors or fetches`);
      assert.ok(seen.ready, `${name}: the page did not finish starting`);
      assert.equal(seen.filter, name);
      assert.equal(seen.level, '4');
      assert.ok(seen.covered > 0.1, `${name}: only ${seen.covered} of the canvas shows the model`);
    }
    assert.equal(box.blocks.length, kivbi.blocks.length);
    const differing = box.blocks.filter((block, k) => block.reduce((sum, value, c) =>
      sum + Math.abs(value - kivbi.blocks[k][c]), 0) > 24).length;
    // Level 4 of box bleeds the atlas's unused texels into the faces' borders; kivbi's does not.
    assert.ok(differing / box.blocks.length > 0.01, `only ${differing} of ${box.blocks.length} blocks differ`);
  });

test('a filter the page does not hold is named in the bar and every pyramid is shown',
  { skip: !haveBrowser && `no browser at ${chromiumPath}` }, async () => {
    const seen = await look('?filter=lanczos3&level=99');
    assert.deepEqual(seen.problems, []);
    assert.equal(seen.filter, 'all');
    assert.equal(seen.level, '-1');
  });
