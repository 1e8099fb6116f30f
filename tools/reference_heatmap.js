// Development aid, not part of the build: recomputes the reference class
// maxima in tests/semantic/graph_model_test.cpp by running the fetched
// TensorFlow.js graph op by op in plain JavaScript (slow, independent of
// the converter and of OpenCV) on the same fixed synthetic input.
//   node tools/reference_heatmap.js ~/.cache/velmora-bridge/models
const fs = require('fs');
const dir = process.argv[2];
const model = JSON.parse(fs.readFileSync(dir + '/centernet.json'));
const bin = fs.readFileSync(dir + '/centernet.bin');
function half(h) { const s = h & 0x8000 ? -1 : 1, e = (h >> 10) & 31, m = h & 1023;
  if (e === 0) return s * m * Math.pow(2, -24); if (e === 31) return m ? NaN : s * Infinity;
  return s * (1 + m / 1024) * Math.pow(2, e - 15); }
const W = {}; let off = 0;
for (const w of model.weightsManifest[0].weights) {
  const n = w.shape.reduce((a, b) => a * b, 1); let data;
  if (w.dtype === 'int32') { data = new Int32Array(n); for (let i = 0; i < n; i++) data[i] = bin.readInt32LE(off + 4 * i); off += 4 * n; }
  else { data = new Float32Array(n); for (let i = 0; i < n; i++) data[i] = half(bin.readUInt16LE(off + 2 * i)); off += 2 * n; }
  W[w.name] = { shape: w.shape.length ? w.shape : [], data };
}
const nodes = {}; for (const n of model.modelTopology.node) nodes[n.name] = n;
const S = 512; const input = new Float32Array(S * S * 3);
for (let y = 0; y < S; y++) for (let x = 0; x < S; x++) for (let c = 0; c < 3; c++)
  input[(y * S + x) * 3 + c] = ((x * (c + 1) * 7 + y * (3 - c) * 5 + ((x >> 5) ^ (y >> 5)) * 40) % 256);
const memo = {};
const b64 = s => Buffer.from(s, 'base64').toString();
function shape4(t) { const s = t.shape; while (s.length < 4) s.unshift(1); return s; }
function conv(x, w, strides, pad, depthwise) {
  const [, H, Wd, C] = x.shape; const [kh, kw, cin, co] = w.shape; const st = strides;
  let oh, ow, pt, pl;
  if (pad === 'SAME') { oh = Math.ceil(H / st); ow = Math.ceil(Wd / st);
    pt = Math.floor(Math.max((oh - 1) * st + kh - H, 0) / 2); pl = Math.floor(Math.max((ow - 1) * st + kw - Wd, 0) / 2); }
  else { oh = Math.floor((H - kh) / st) + 1; ow = Math.floor((Wd - kw) / st) + 1; pt = 0; pl = 0; }
  const O = depthwise ? C * co : co; const out = new Float32Array(oh * ow * O);
  const xd = x.data, wd = w.data;
  for (let oy = 0; oy < oh; oy++) for (let ox = 0; ox < ow; ox++) {
    const ob = (oy * ow + ox) * O;
    for (let ky = 0; ky < kh; ky++) { const iy = oy * st - pt + ky; if (iy < 0 || iy >= H) continue;
      for (let kx = 0; kx < kw; kx++) { const ix = ox * st - pl + kx; if (ix < 0 || ix >= Wd) continue;
        const ib = (iy * Wd + ix) * C; const wb = (ky * kw + kx) * cin * co;
        if (depthwise) { for (let c = 0; c < C; c++) { const v = xd[ib + c]; for (let m = 0; m < co; m++) out[ob + c * co + m] += v * wd[wb + c * co + m]; } }
        else { for (let c = 0; c < C; c++) { const v = xd[ib + c]; if (v === 0) continue; const wr = wb + c * co; for (let o = 0; o < co; o++) out[ob + o] += v * wd[wr + o]; } }
      } }
  }
  return { shape: [1, oh, ow, O], data: out };
}
function bias(x, b) { const C = x.shape[3]; for (let i = 0; i < x.data.length; i++) x.data[i] += b.data[i % C]; return x; }
function act(x, a) { const d = x.data; for (let i = 0; i < d.length; i++) { if (a === 'Relu') d[i] = Math.max(0, d[i]); else if (a === 'Relu6') d[i] = Math.min(6, Math.max(0, d[i])); else if (a === 'Sigmoid') d[i] = 1 / (1 + Math.exp(-d[i])); } return x; }
function binop(a, b, f) {
  let A = a, B = b; if (A.data.length < B.data.length) { [A, B] = [B, A]; const g = f; f = (p, q) => g(q, p); }
  const out = new Float32Array(A.data.length); const n = B.data.length; const [, H, Wd, C] = shape4({ shape: A.shape.slice() });
  if (n === 1) for (let i = 0; i < out.length; i++) out[i] = f(A.data[i], B.data[0]);
  else if (n === A.data.length) for (let i = 0; i < out.length; i++) out[i] = f(A.data[i], B.data[i]);
  else if (n === C) for (let i = 0; i < out.length; i++) out[i] = f(A.data[i], B.data[i % C]);
  else throw new Error('broadcast ' + A.shape + ' ' + B.shape);
  return { shape: A.shape, data: out };
}
function get(name) {
  name = name.split(':')[0]; if (memo[name]) return memo[name];
  const n = nodes[name]; const ins = (n.input || []).filter(i => !i.startsWith('^')).map(get); let r;
  const a = n.attr || {};
  const strides = a.strides ? +a.strides.list.i[1] : 1; const pad = a.padding ? b64(a.padding.s) : '';
  switch (n.op) {
    case 'Placeholder': r = { shape: [1, S, S, 3], data: input }; break;
    case 'Const': r = W[name]; break;
    case '_FusedConv2D': case 'FusedDepthwiseConv2dNative': {
      r = bias(conv(ins[0], ins[1], strides, pad, n.op !== '_FusedConv2D'), ins[2]);
      const f = a.fused_ops.list.s.map(b64); if (f[1]) act(r, f[1]); break; }
    case 'Conv2D': r = conv(ins[0], ins[1], strides, pad, false); break;
    case 'DepthwiseConv2dNative': r = conv(ins[0], ins[1], strides, pad, true); break;
    case 'Relu': case 'Relu6': case 'Sigmoid': r = act({ shape: ins[0].shape, data: Float32Array.from(ins[0].data) }, n.op); break;
    case 'Add': r = binop(ins[0], ins[1], (p, q) => p + q); break;
    case 'Mul': r = binop(ins[0], ins[1], (p, q) => p * q); break;
    case 'Mean': { const [, H, Wd, C] = ins[0].shape; const o = new Float32Array(C);
      for (let i = 0; i < H * Wd; i++) for (let c = 0; c < C; c++) o[c] += ins[0].data[i * C + c];
      for (let c = 0; c < C; c++) o[c] /= H * Wd; r = { shape: [1, 1, 1, C], data: o }; break; }
    case 'ResizeBilinear': { const [, H, Wd, C] = ins[0].shape; const oh = ins[1].data[0], ow = ins[1].data[1];
      const o = new Float32Array(oh * ow * C); const sy = H / oh, sx = Wd / ow; const d = ins[0].data;
      for (let y = 0; y < oh; y++) { const fy = y * sy; const y0 = Math.floor(fy), y1 = Math.min(y0 + 1, H - 1), ly = fy - y0;
        for (let x = 0; x < ow; x++) { const fx = x * sx; const x0 = Math.floor(fx), x1 = Math.min(x0 + 1, Wd - 1), lx = fx - x0;
          for (let c = 0; c < C; c++) { const t = d[(y0 * Wd + x0) * C + c] * (1 - lx) + d[(y0 * Wd + x1) * C + c] * lx;
            const bt = d[(y1 * Wd + x0) * C + c] * (1 - lx) + d[(y1 * Wd + x1) * C + c] * lx; o[(y * ow + x) * C + c] = t * (1 - ly) + bt * ly; } } }
      r = { shape: [1, oh, ow, C], data: o }; break; }
    case 'ConcatV2': { const parts = ins.slice(0, -1); const [, H, Wd] = parts[0].shape; const C = parts.reduce((s, p) => s + p.shape[3], 0);
      const o = new Float32Array(H * Wd * C); let co = 0;
      for (const p of parts) { const pc = p.shape[3]; for (let i = 0; i < H * Wd; i++) for (let c = 0; c < pc; c++) o[i * C + co + c] = p.data[i * pc + c]; co += pc; }
      r = { shape: [1, H, Wd, C], data: o }; break; }
    default: throw new Error('op ' + n.op);
  }
  memo[name] = r; return r;
}
const t0 = Date.now(); const hm = get('tower_0/Sigmoid'); const [, H, Wd, C] = hm.shape;
const best = new Array(C).fill(0);
for (let i = 0; i < H * Wd; i++) for (let c = 0; c < C; c++) best[c] = Math.max(best[c], hm.data[i * C + c]);
console.log(JSON.stringify({ shape: hm.shape, best: best.map(v => +v.toFixed(5)), samples: [[0, 0, 0], [64, 64, 0], [100, 30, 17], [127, 127, 79]].map(([y, x, c]) => +hm.data[(y * Wd + x) * C + c].toFixed(5)), ms: Date.now() - t0 }));
