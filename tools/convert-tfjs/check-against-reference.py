#!/usr/bin/python3
"""Checks converted detectors against the original TensorFlow.js graphs.

    check-against-reference.py MODELS_DIR ONNX_DIR PHOTO...

MODELS_DIR holds nanodet.json/.bin and movenet-multipose.json/.bin as the npm
package ships them; ONNX_DIR holds nanodet.onnx and movenet-multipose.onnx.
Each graph is evaluated here with NumPy in float64, op by op from its JSON,
without any of convert-tfjs's code, and the tensors at the converted models'
outputs are compared with what OpenCV's DNN module computes from the ONNX
files on the same input. Prints the largest absolute difference per output
and photo. For MoveNet it also prints the graph's own decoded people, to hold
the C++ decoder against. Needs python3-numpy and python3-opencv; not part of
the test suite.
"""
import json
import sys

import cv2
import numpy as np


def load(prefix):
    model = json.load(open(prefix + '.json'))
    data = b''.join(open(prefix[:prefix.rfind('/') + 1] + p, 'rb').read()
                    for g in model['weightsManifest'] for p in g['paths'])
    weights, offset = {}, 0
    for group in model['weightsManifest']:
        for w in group['weights']:
            n = int(np.prod(w['shape'])) if w['shape'] else 1
            q = (w.get('quantization') or {}).get('dtype')
            if q == 'float16':
                a = np.frombuffer(data, '<f2', n, offset).astype(np.float64)
                offset += 2 * n
            elif w['dtype'] == 'float32':
                a = np.frombuffer(data, '<f4', n, offset).astype(np.float64)
                offset += 4 * n
            elif w['dtype'] == 'int32':
                a = np.frombuffer(data, '<i4', n, offset).astype(np.int64)
                offset += 4 * n
            else:
                raise ValueError(w)
            weights[w['name']] = a.reshape(w['shape'])
    return model['modelTopology']['node'], weights


def attr(node, key, default=None):
    a = node.get('attr', {}).get(key)
    if a is None:
        return default
    if 'list' in a:
        lst = a['list']
        if 'i' in lst:
            return [int(v) for v in lst['i']]
        if 's' in lst:
            import base64
            return [base64.b64decode(v).decode() for v in lst['s']]
        return []
    if 'i' in a:
        return int(a['i'])
    if 'f' in a:
        return float(a['f'])
    if 'b' in a:
        return bool(a['b'])
    if 's' in a:
        import base64
        return base64.b64decode(a['s']).decode()
    if 'type' in a:
        return a['type']
    return default


def same_pads(size, k, s, d=1):
    out = -(-size // s)
    total = max((out - 1) * s + (k - 1) * d + 1 - size, 0)
    return total // 2, total - total // 2


def window_input(x, node, k, fill):
    """Pads an NHWC tensor for a window op as TF's padding attribute says."""
    kh, kw = k
    s = attr(node, 'strides', [1, 1, 1, 1])
    d = attr(node, 'dilations', [1, 1, 1, 1])
    if attr(node, 'padding') == 'SAME':
        t, b = same_pads(x.shape[1], kh, s[1], d[1])
        l, r = same_pads(x.shape[2], kw, s[2], d[2])
        x = np.pad(x, ((0, 0), (t, b), (l, r), (0, 0)), constant_values=fill)
    elif attr(node, 'padding') != 'VALID':
        raise ValueError(attr(node, 'padding'))
    return x, s[1], s[2], d[1], d[2]


def windows(x, kh, kw, sh, sw, dh, dw):
    """Yields (dy, dx, strided view) for each kernel tap."""
    oh = (x.shape[1] - dh * (kh - 1) - 1) // sh + 1
    ow = (x.shape[2] - dw * (kw - 1) - 1) // sw + 1
    for y in range(kh):
        for xx in range(kw):
            yield y, xx, x[:, y * dh:y * dh + (oh - 1) * sh + 1:sh,
                           xx * dw:xx * dw + (ow - 1) * sw + 1:sw, :]


def conv2d(x, w, node):
    x, sh, sw, dh, dw = window_input(x, node, w.shape[:2], 0.0)
    out = 0
    for y, xx, v in windows(x, w.shape[0], w.shape[1], sh, sw, dh, dw):
        out = out + np.tensordot(v, w[y, xx], axes=([3], [0]))
    return out


def depthwise(x, w, node):
    x, sh, sw, dh, dw = window_input(x, node, w.shape[:2], 0.0)
    c, m = w.shape[2], w.shape[3]
    out = 0
    for y, xx, v in windows(x, w.shape[0], w.shape[1], sh, sw, dh, dw):
        out = out + (v[..., :, None] * w[y, xx][None, None, None]).reshape(
            v.shape[:3] + (c * m,))
    return out


def fused(out, node, args):
    for op in attr(node, 'fused_ops', []):
        if op == 'BiasAdd':
            out = out + args[0]
        elif op == 'Relu':
            out = np.maximum(out, 0)
        elif op == 'Relu6':
            out = np.clip(out, 0, 6)
        else:
            raise ValueError(op)
    return out


def resize_bilinear(x, size, node):
    """TF's ResizeBilinear on NHWC."""
    def weights(n_in, n_out):
        scale = n_in / n_out
        if attr(node, 'align_corners', False) and n_out > 1:
            scale = (n_in - 1) / (n_out - 1)
        i = np.arange(n_out, dtype=np.float64)
        src = (i + 0.5) * scale - 0.5 if attr(node, 'half_pixel_centers', False) else i * scale
        lo = np.floor(src)
        frac = src - lo
        return (np.clip(lo, 0, n_in - 1).astype(int),
                np.clip(np.ceil(src), 0, n_in - 1).astype(int), frac)
    y0, y1, fy = weights(x.shape[1], size[0])
    x0, x1, fx = weights(x.shape[2], size[1])
    top = x[:, y0][:, :, x0] * (1 - fx)[None, None, :, None] + \
        x[:, y0][:, :, x1] * fx[None, None, :, None]
    bot = x[:, y1][:, :, x0] * (1 - fx)[None, None, :, None] + \
        x[:, y1][:, :, x1] * fx[None, None, :, None]
    return top * (1 - fy)[None, :, None, None] + bot * fy[None, :, None, None]


def strided_slice(x, begin, end, strides, node):
    idx = []
    for i in range(len(begin)):
        bit = 1 << i
        if attr(node, 'ellipsis_mask', 0) & bit:
            idx.append(Ellipsis)
        elif attr(node, 'new_axis_mask', 0) & bit:
            idx.append(np.newaxis)
        elif attr(node, 'shrink_axis_mask', 0) & bit:
            idx.append(int(begin[i]))
        else:
            idx.append(slice(None if attr(node, 'begin_mask', 0) & bit else int(begin[i]),
                             None if attr(node, 'end_mask', 0) & bit else int(end[i]),
                             int(strides[i])))
    return np.asarray(x[tuple(idx)])


def evaluate(nodes, weights, feeds, wanted):
    by_name = {n['name']: n for n in nodes}
    values = {}

    def get(ref):
        name, _, index = ref.partition(':')
        if name not in values:
            run(by_name[name])
        return values[name][int(index or 0)]

    def run(node):
        op = node['op']
        ins = [get(i) for i in node.get('input', []) if not i.startswith('^')]
        if op == 'Const':
            out = weights[node['name']]
        elif op == 'Placeholder':
            out = feeds[node['name']]
        elif op in ('Identity',):
            out = ins[0]
        elif op == 'Cast':
            t = attr(node, 'DstT')
            out = ins[0].astype(np.float64 if t == 'DT_FLOAT' else
                                bool if t == 'DT_BOOL' else np.int64)
        elif op in ('Add', 'AddV2', 'BiasAdd'):
            out = ins[0] + ins[1]
        elif op == 'AddN':
            out = sum(ins)
        elif op == 'Sub':
            out = ins[0] - ins[1]
        elif op == 'Mul':
            out = ins[0] * ins[1]
        elif op == 'RealDiv':
            out = ins[0] / ins[1]
        elif op == 'FloorDiv':
            out = np.floor_divide(ins[0], ins[1])
        elif op == 'Maximum':
            out = np.maximum(ins[0], ins[1])
        elif op == 'Minimum':
            out = np.minimum(ins[0], ins[1])
        elif op == 'SquaredDifference':
            out = (ins[0] - ins[1]) ** 2
        elif op == 'Reciprocal':
            out = 1.0 / ins[0]
        elif op == 'Abs':
            out = np.abs(ins[0])
        elif op == 'Exp':
            out = np.exp(ins[0])
        elif op == 'Sigmoid':
            out = 1.0 / (1.0 + np.exp(-ins[0]))
        elif op == 'Relu':
            out = np.maximum(ins[0], 0)
        elif op == 'LeakyRelu':
            out = np.where(ins[0] >= 0, ins[0], ins[0] * attr(node, 'alpha', 0.2))
        elif op in ('Less', 'Greater', 'GreaterEqual', 'Equal', 'LogicalAnd'):
            f = {'Less': np.less, 'Greater': np.greater, 'GreaterEqual': np.greater_equal,
                 'Equal': np.equal, 'LogicalAnd': np.logical_and}[op]
            out = f(ins[0], ins[1])
        elif op == 'Select':
            out = np.where(ins[0], ins[1], ins[2])
        elif op == 'Conv2D':
            out = conv2d(ins[0], ins[1], node)
        elif op == '_FusedConv2D':
            out = fused(conv2d(ins[0], ins[1], node), node, ins[2:])
        elif op == 'DepthwiseConv2dNative':
            out = depthwise(ins[0], ins[1], node)
        elif op == 'FusedDepthwiseConv2dNative':
            out = fused(depthwise(ins[0], ins[1], node), node, ins[2:])
        elif op == 'MaxPool':
            k = attr(node, 'ksize')
            x, sh, sw, dh, dw = window_input(ins[0], node, k[1:3], -np.inf)
            out = None
            for _, _, v in windows(x, k[1], k[2], sh, sw, 1, 1):
                out = v if out is None else np.maximum(out, v)
        elif op in ('Pad', 'PadV2'):
            fill = ins[2] if op == 'PadV2' else 0
            out = np.pad(ins[0], [tuple(p) for p in ins[1]], constant_values=fill)
        elif op == 'Transpose':
            out = np.transpose(ins[0], ins[1])
        elif op == 'Reshape':
            out = ins[0].reshape([int(d) for d in ins[1]])
        elif op == 'Squeeze':
            out = np.squeeze(ins[0], axis=tuple(attr(node, 'squeeze_dims', [])) or None)
        elif op == 'ExpandDims':
            out = np.expand_dims(ins[0], int(ins[1]))
        elif op == 'ConcatV2':
            out = np.concatenate(ins[:-1], axis=int(ins[-1]))
        elif op == 'Pack':
            out = np.stack(ins, axis=attr(node, 'axis', 0))
        elif op == 'Unpack':
            axis = attr(node, 'axis', 0)
            out = [np.take(ins[0], i, axis=axis) for i in range(ins[0].shape[axis])]
        elif op == 'SplitV':
            sizes = list(ins[1])
            axis = int(ins[2])
            if -1 in sizes:
                sizes[sizes.index(-1)] = ins[0].shape[axis] - (sum(sizes) + 1)
            out = np.split(ins[0], np.cumsum(sizes)[:-1], axis=axis)
        elif op == 'Split':
            out = np.split(ins[1], attr(node, 'num_split'), axis=int(ins[0]))
        elif op == 'Shape':
            out = np.array(ins[0].shape, dtype=np.int64)
        elif op == 'Size':
            out = np.array(ins[0].size, dtype=np.int64)
        elif op == 'StridedSlice':
            out = strided_slice(ins[0], ins[1], ins[2], ins[3], node)
        elif op == 'ResizeBilinear':
            out = resize_bilinear(ins[0], [int(v) for v in ins[1]], node)
        elif op == 'SparseToDense':
            out = np.full([int(v) for v in ins[1]], ins[3], dtype=ins[2].dtype)
            indices = ins[0].reshape(ins[0].shape[0] if ins[0].ndim else 1, -1) \
                if ins[0].size else []
            for k, index in enumerate(indices):
                out[tuple(index)] = ins[2] if ins[2].ndim == 0 else ins[2][k]
        elif op == 'Range':
            out = np.arange(ins[0], ins[1], ins[2])
        elif op == 'Fill':
            out = np.full([int(v) for v in ins[0]], ins[1])
        elif op == 'Tile':
            out = np.tile(ins[0], ins[1])
        elif op == 'TopKV2':
            order = np.argsort(-ins[0], axis=-1, kind='stable')[..., :int(ins[1])]
            out = [np.take_along_axis(ins[0], order, -1), order]
        elif op == 'GatherNd':
            idx = ins[1]
            out = ins[0][tuple(idx[..., i] for i in range(idx.shape[-1]))]
        elif op in ('Max', 'Sum'):
            f = np.max if op == 'Max' else np.sum
            out = f(ins[0], axis=tuple(np.atleast_1d(ins[1])), keepdims=attr(node, 'keep_dims', False))
        elif op == 'ArgMax':
            out = np.argmax(ins[0], axis=int(ins[1]))
        else:
            raise ValueError('no reference for ' + op)
        values[node['name']] = out if isinstance(out, list) else [np.asarray(out)]

    return [get(w) for w in wanted]


def nanodet_input(image):
    x = cv2.resize(image, (416, 416)).astype(np.float64)
    x = (x - [103.53, 116.28, 123.675]) / [57.375, 57.12, 58.395]
    return x.transpose(2, 0, 1)[None]


def movenet_input(image):
    side = max(image.shape[:2])
    square = cv2.copyMakeBorder(image, 0, side - image.shape[0], 0, side - image.shape[1],
                                cv2.BORDER_CONSTANT, value=0)
    rgb = cv2.cvtColor(cv2.resize(square, (256, 256), interpolation=cv2.INTER_AREA),
                       cv2.COLOR_BGR2RGB)
    return rgb.astype(np.float64)[None]


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    models, onnx_dir, photos = sys.argv[1], sys.argv[2], sys.argv[3:]
    nd_nodes, nd_weights = load(models + '/nanodet')
    mn_nodes, mn_weights = load(models + '/movenet-multipose')
    nd_net = cv2.dnn.readNetFromONNX(onnx_dir + '/nanodet.onnx')
    mn_net = cv2.dnn.readNetFromONNX(onnx_dir + '/movenet-multipose.onnx')
    P = 'StatefulPartitionedCall/'
    nd_out = {'cls8': 'Identity', 'cls16': 'Identity_1', 'cls32': 'Identity_2',
              'box8': 'Identity_3', 'box16': 'Identity_4', 'box32': 'Identity_5'}
    mn_out = {'center': P + 'Sigmoid', 'box_scale': P + 'box_scale_0/conv2d_5/BiasAdd',
              'box_offset': P + 'box_offset_0/conv2d_6/BiasAdd',
              'kpt_regress': P + 'kpt_regress_0/conv2d_8/BiasAdd',
              'kpt_heatmap': P + 'Sigmoid_1', 'kpt_offset': P + 'kpt_offset_0/conv2d_9/BiasAdd'}
    worst = {'nanodet': 0.0, 'movenet-multipose': 0.0}
    for photo in photos:
        image = cv2.imread(photo)
        name = photo.rsplit('/', 1)[-1]

        x = nanodet_input(image)
        ref = evaluate(nd_nodes, nd_weights, {'input_1': x}, list(nd_out.values()))
        nd_net.setInput(x.astype(np.float32))
        ours = nd_net.forward(list(nd_out))
        for key, r, o in zip(nd_out, ref, ours):
            d = float(np.abs(r.transpose(0, 2, 1) - o).max())
            worst['nanodet'] = max(worst['nanodet'], d)
            print(f'{name} nanodet {key}: max |diff| {d:.2e} (values up to {np.abs(r).max():.2f})')

        x = movenet_input(image)
        wanted = list(mn_out.values()) + [P + 'concat_1']
        ref = evaluate(mn_nodes, mn_weights, {'input': x}, wanted)
        mn_net.setInput(x.transpose(0, 3, 1, 2).astype(np.float32))
        ours = mn_net.forward(list(mn_out))
        for key, r, o in zip(mn_out, ref, ours):
            d = float(np.abs(r.transpose(0, 3, 1, 2) - o).max())
            worst['movenet-multipose'] = max(worst['movenet-multipose'], d)
            print(f'{name} movenet {key}: max |diff| {d:.2e} (values up to {np.abs(r).max():.2f})')
        for person in ref[-1][0]:
            if person[55] > 0.05:
                print(f'{name} movenet person score {person[55]:.3f} box (ymin xmin ymax xmax) '
                      + ' '.join(f'{v:.4f}' for v in person[51:55]) + ' keypoints (y x s) '
                      + ' '.join(f'{v:.3f}' for v in person[:51]))
    for model, d in worst.items():
        print(f'{model}: largest difference over {len(photos)} photos {d:.2e}')


if __name__ == '__main__':
    main()
