// The page ktx2_loader_test.mjs opens in chromium: three.js's KTX2Loader reads a KTX2 file, and each level asked for
// is drawn texel for texel onto a canvas of that level's size and read back as sRGB bytes, rows from the top.
//
// The quad fills the canvas and samples the level alone (textureLod, nearest texel), so pixel (x, y) shows texel
// (x, y) of the level. The file's first row is its top ("rd"); three.js uploads it unflipped to texture row 0, so the
// canvas's top row samples t = 0. A file stored bottom-up shows upside down.
import * as THREE from 'three';
import { KTX2Loader } from 'three/examples/jsm/loaders/KTX2Loader.js';

const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setPixelRatio(1);
document.body.append(renderer.domElement);
const gl = renderer.getContext();
const loader = new KTX2Loader().detectSupport(renderer);

// The texture decodes sRGB to linear light; linearToOutputTexel encodes it back for the 8-bit canvas. Alpha is
// written as sampled, so that what three.js makes of the file's alpha (it ignores KTXswizzle) can be checked.
const material = new THREE.ShaderMaterial({
  uniforms: { map: { value: null }, lod: { value: 0 } },
  vertexShader: `
    varying vec2 vUv;
    void main() {
      vUv = uv;
      gl_Position = vec4(position.xy, 0.0, 1.0);
    }`,
  fragmentShader: `
    uniform sampler2D map;
    uniform float lod;
    varying vec2 vUv;
    void main() {
      vec4 texel = textureLod(map, vec2(vUv.x, 1.0 - vUv.y), lod);
      gl_FragColor = linearToOutputTexel(texel);
    }`,
});
const scene = new THREE.Scene();
scene.add(new THREE.Mesh(new THREE.PlaneGeometry(2, 2), material));
const camera = new THREE.Camera();

function toBase64(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

// Whether the WebGL context offers the extension a compressed format needs.
window.kivSupports = (name) => renderer.extensions.has(name);

// Loads the KTX2 file at `url` (a data: URL: nothing is fetched from elsewhere) and draws each of `levels`.
window.kivDrawLevels = async (url, levels) => {
  const texture = await loader.loadAsync(url);
  texture.minFilter = THREE.NearestMipmapNearestFilter;
  texture.magFilter = THREE.NearestFilter;
  material.uniforms.map.value = texture;
  const drawn = [];
  const glErrors = [];
  for (const level of levels) {
    const width = Math.max(1, texture.image.width >> level);
    const height = Math.max(1, texture.image.height >> level);
    renderer.setSize(width, height, false);
    material.uniforms.lod.value = level;
    renderer.render(scene, camera);
    const upsideDown = new Uint8Array(width * height * 4);
    gl.readPixels(0, 0, width, height, gl.RGBA, gl.UNSIGNED_BYTE, upsideDown);
    const error = gl.getError();
    if (error !== gl.NO_ERROR) glErrors.push(`level ${level}: GL error 0x${error.toString(16)}`);
    const pixels = new Uint8Array(upsideDown.length);
    for (let y = 0; y < height; ++y) {
      pixels.set(upsideDown.subarray((height - 1 - y) * width * 4, (height - y) * width * 4), y * width * 4);
    }
    drawn.push({ level, width, height, pixels: toBase64(pixels) });
  }
  material.uniforms.map.value = null;
  texture.dispose();
  return {
    kind: texture.isCompressedTexture ? 'compressed' : 'data',
    colorSpace: texture.colorSpace,
    levelCount: texture.mipmaps.length,
    glErrors,
    drawn,
  };
};

// The RGBA bytes of a PNG, as stored: no colour management, no premultiplication.
window.kivDecodePng = async (url) => {
  const blob = await (await fetch(url)).blob();
  const bitmap = await createImageBitmap(blob, { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
  const context = new OffscreenCanvas(bitmap.width, bitmap.height).getContext('2d');
  context.drawImage(bitmap, 0, 0);
  const { data } = context.getImageData(0, 0, bitmap.width, bitmap.height);
  return { width: bitmap.width, height: bitmap.height, pixels: toBase64(data) };
};

document.body.dataset.ready = 'true';
