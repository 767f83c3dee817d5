// The page `kiv --viewer` writes: the model textured with each pyramid of the run, side by side under one orbit
// camera. Everything it shows is embedded in the page (kiv writes it into the JSON element "kiv-data"), so it works
// opened straight from disk: nothing is fetched.
//
// The levels are sampled as a GPU samples a mip chain: sRGB bytes decoded to linear light before filtering, bilinear
// within a level, trilinear between levels. Forcing level K samples that level alone (textureLod), so a coarse
// level can be looked at up close; otherwise the hardware picks the level, shifted by the level-of-detail bias.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const background = 0x202226;

const style = `
html, body { margin: 0; height: 100%; overflow: hidden; background: #202226; color: #e8e8e8;
  font: 13px/1.4 system-ui, sans-serif; }
#bar { position: fixed; top: 0; left: 0; right: 0; display: flex; gap: 16px; align-items: center;
  padding: 6px 10px; background: rgba(20, 21, 24, 0.85); z-index: 2; flex-wrap: wrap; }
#bar label { display: flex; gap: 6px; align-items: center; }
#bar output { min-width: 3em; }
#view { position: fixed; inset: 0; }
canvas { display: block; }
.caption { position: fixed; padding: 2px 8px; background: rgba(20, 21, 24, 0.7); pointer-events: none; z-index: 1; }
#note { color: #ffb86b; }
`;

function decodeFloats(base64) {
  const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  return new Float32Array(bytes.buffer);
}

function element(tag, properties = {}, children = []) {
  const node = Object.assign(document.createElement(tag), properties);
  for (const child of children) node.append(child);
  return node;
}

// The levels of one pyramid as a mipmapped texture: level 0 the texture, wrapping as the filters assume.
async function pyramidTexture(levels) {
  const images = await Promise.all(levels.map(async (source) => {
    const image = new Image();
    image.src = source;
    await image.decode();
    return image;
  }));
  const texture = new THREE.Texture(images[0]);
  texture.mipmaps = images;
  texture.generateMipmaps = false;
  texture.colorSpace = THREE.SRGBColorSpace;
  texture.wrapS = THREE.RepeatWrapping;
  texture.wrapT = THREE.RepeatWrapping;
  texture.minFilter = THREE.LinearMipmapLinearFilter;
  texture.magFilter = THREE.LinearFilter;
  texture.anisotropy = 1;  // anisotropic sampling would blend levels the control is meant to isolate
  texture.needsUpdate = true;
  return texture;
}

function pyramidMaterial(texture, lod) {
  return new THREE.ShaderMaterial({
    uniforms: { map: { value: texture }, lod },
    vertexShader: `
      varying vec2 vUv;
      void main() {
        vUv = uv;
        gl_Position = projectionMatrix * modelViewMatrix * vec4(position, 1.0);
      }`,
    fragmentShader: `
      uniform sampler2D map;
      uniform vec2 lod;  // x: forced level, or negative for the hardware's choice; y: bias added to that choice
      varying vec2 vUv;
      void main() {
        vec4 texel = lod.x >= 0.0 ? textureLod(map, vUv, lod.x) : texture(map, vUv, lod.y);
        gl_FragColor = vec4(texel.rgb, 1.0);
        #include <colorspace_fragment>
      }`,
    side: THREE.DoubleSide,
  });
}

function parseQuery(filters, levelCount) {
  const query = new URLSearchParams(location.search);
  const notes = [];
  let shown = 'all';
  if (query.has('filter')) {
    const name = query.get('filter');
    if (filters.some((filter) => filter.name === name)) shown = name;
    else notes.push(`no filter named '${name}' in this page; showing all`);
  }
  let level = -1;
  if (query.has('level')) {
    const value = Number(query.get('level'));
    if (Number.isInteger(value) && value >= 0 && value < levelCount) level = value;
    else notes.push(`level '${query.get('level')}' is not one of 0 to ${levelCount - 1}`);
  }
  return { shown, level, notes };
}

async function main() {
  document.head.append(element('style', { textContent: style }));
  const data = JSON.parse(document.getElementById('kiv-data').textContent);
  const levelCount = data.filters[0].levels.length;
  const start = parseQuery(data.filters, levelCount);

  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute('position', new THREE.BufferAttribute(decodeFloats(data.positions), 3));
  geometry.setAttribute('uv', new THREE.BufferAttribute(decodeFloats(data.uvs), 2));
  geometry.computeBoundingSphere();

  // One canvas and one camera for every panel: each panel is a scissored viewport of the same scene.
  const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
  renderer.setPixelRatio(window.devicePixelRatio);
  renderer.setClearColor(background);
  renderer.setScissorTest(true);
  const view = element('div', { id: 'view' }, [renderer.domElement]);

  const sphere = geometry.boundingSphere;
  const camera = new THREE.PerspectiveCamera(40, 1, sphere.radius / 100, sphere.radius * 100);
  camera.position.copy(sphere.center).add(new THREE.Vector3(0.7, 0.6, 1).normalize().multiplyScalar(sphere.radius * 3));
  const controls = new OrbitControls(camera, renderer.domElement);
  controls.target.copy(sphere.center);
  controls.update();

  const lod = { value: new THREE.Vector2(start.level, 0) };
  const panels = await Promise.all(data.filters.map(async (filter) => {
    const scene = new THREE.Scene();
    scene.add(new THREE.Mesh(geometry, pyramidMaterial(await pyramidTexture(filter.levels), lod)));
    const caption = element('div', { className: 'caption', textContent: filter.name });
    view.append(caption);
    return { name: filter.name, scene, caption };
  }));

  const filterChoice = element('select', { id: 'filter' }, [
    element('option', { value: 'all', textContent: 'all, side by side' }),
    ...data.filters.map((filter) => element('option', { value: filter.name, textContent: filter.name })),
  ]);
  filterChoice.value = start.shown;
  const levelChoice = element('select', { id: 'level' }, [
    element('option', { value: '-1', textContent: 'as the GPU chooses' }),
    ...data.filters[0].levels.map((_, k) => element('option', {
      value: String(k), textContent: `${k} (${data.sizes[k][0]}x${data.sizes[k][1]})`,
    })),
  ]);
  levelChoice.value = String(start.level);
  const bias = element('input', { id: 'bias', type: 'range', min: '-2', max: '8', step: '0.25', value: '0' });
  const biasShown = element('output', { textContent: '0' });
  const note = element('span', { id: 'note', textContent: start.notes.join('; ') });
  document.body.append(
    element('div', { id: 'bar' }, [
      element('strong', { textContent: `${data.model} · ${data.texture}` }),
      element('label', {}, ['filter', filterChoice]),
      element('label', {}, ['mip level', levelChoice]),
      element('label', {}, ['level bias', bias, biasShown]),
      note,
    ]),
    view,
  );

  function render() {
    const width = window.innerWidth;
    const height = window.innerHeight;
    renderer.setSize(width, height);
    const shown = panels.filter((panel) => filterChoice.value === 'all' || panel.name === filterChoice.value);
    const panelWidth = Math.floor(width / shown.length);
    camera.aspect = panelWidth / height;
    camera.updateProjectionMatrix();
    renderer.setScissor(0, 0, width, height);
    renderer.setViewport(0, 0, width, height);
    renderer.clear();
    for (const panel of panels) panel.caption.style.display = shown.includes(panel) ? '' : 'none';
    shown.forEach((panel, k) => {
      renderer.setViewport(k * panelWidth, 0, panelWidth, height);
      renderer.setScissor(k * panelWidth, 0, panelWidth, height);
      renderer.render(panel.scene, camera);
      panel.caption.style.left = `${k * panelWidth + 8}px`;
      panel.caption.style.bottom = '8px';
    });
  }

  function update() {
    lod.value.set(Number(levelChoice.value), Number(bias.value));
    bias.disabled = lod.value.x >= 0;
    biasShown.textContent = bias.value;
    render();
  }
  for (const control of [filterChoice, levelChoice, bias]) control.addEventListener('input', update);
  controls.addEventListener('change', render);
  window.addEventListener('resize', render);
  update();
  // Tests and scripts wait for this: every texture is uploaded and the first frame drawn.
  document.body.dataset.ready = 'true';
}

main().catch((failure) => {
  document.body.append(element('pre', { textContent: `The viewer could not start: ${failure.message}` }));
  console.error(failure);
});
