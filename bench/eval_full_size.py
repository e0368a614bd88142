#!/usr/bin/python3
"""vantel-cut --full-size against today's capped result brought up, on photos made large.

usage: eval_full_size.py VANTEL_CUT SET_DIR... [--side 4000] [--work DIR]
Each SET_DIR holds images/ and masks/ (255 subject, 128 ignore band), as the
evaluation sets do. Every photo and its mask are scaled up to a longer side
of --side (the photo bicubic, the mask nearest); the copies live in a
temporary folder and go with it. Each large photo is cut out twice: with
--full-size, and as usual (longer side 2560), that result scaled up
bilinearly, as a user would. Prints, per set and method, mean IoU (alpha at
0.5), mean MAE over the scored pixels, and the edge sharpness: the median,
over photos, of the 90th percentile of the alpha's gradient (Sobel, per
pixel) within 3 pixels of the true edge; higher is sharper. Then the peak
memory of one --full-size run on a 24-megapixel photo.
Needs python3-opencv.
"""
import sys, os, glob, subprocess, tempfile, re, cv2, numpy as np

def alpha(path):
    a = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    return None if a is None else a[:, :, 3].astype(np.float32) / 255.0

def measures(a, gt):
    valid = gt != 128
    g = gt >= 200
    p = a >= 0.5
    union = np.logical_or(g, p)[valid].sum()
    iou = np.logical_and(g, p)[valid].sum() / union if union else 1.0
    mae = np.abs(a - g)[valid].mean()
    edge = cv2.morphologyEx(g.astype(np.uint8), cv2.MORPH_GRADIENT, np.ones((7, 7), np.uint8)) > 0
    gx = cv2.Sobel(a, cv2.CV_32F, 1, 0, ksize=3)
    gy = cv2.Sobel(a, cv2.CV_32F, 0, 1, ksize=3)
    grad = np.sqrt(gx * gx + gy * gy)[edge & valid]
    return iou, mae, np.percentile(grad, 90) if grad.size else 0.0

def main():
    args = [a for a in sys.argv[1:]]
    side = int(args[args.index('--side') + 1]) if '--side' in args else 4000
    work = args[args.index('--work') + 1] if '--work' in args else tempfile.mkdtemp()
    args = [a for i, a in enumerate(args) if a not in ('--side', '--work') and
            (i == 0 or args[i - 1] not in ('--side', '--work'))]
    cut, sets = args[0], args[1:]
    for set_dir in sets:
        name = os.path.basename(os.path.normpath(set_dir))
        big = os.path.join(work, name)
        os.makedirs(os.path.join(big, 'images'), exist_ok=True)
        masks = {}
        for m in sorted(glob.glob(os.path.join(set_dir, 'masks', '*.png'))):
            i = os.path.splitext(os.path.basename(m))[0]
            photo = glob.glob(os.path.join(set_dir, 'images', i + '.*'))
            if not photo:
                continue
            img = cv2.imread(photo[0])
            s = side / max(img.shape[:2])
            size = (round(img.shape[1] * s), round(img.shape[0] * s))
            cv2.imwrite(os.path.join(big, 'images', i + '.png'),
                        cv2.resize(img, size, interpolation=cv2.INTER_CUBIC))
            masks[i] = cv2.resize(cv2.imread(m, cv2.IMREAD_GRAYSCALE), size,
                                  interpolation=cv2.INTER_NEAREST)
        inputs = sorted(glob.glob(os.path.join(big, 'images', '*.png')))
        for method, extra in (('full-size', ['--full-size']), ('2560 scaled up', [])):
            out = os.path.join(big, method.replace(' ', '-'))
            subprocess.run([cut, '-q', '--overwrite', '-o', out] + extra + inputs, check=False)
            rows = []
            for i, gt in masks.items():
                a = alpha(os.path.join(out, i + '.png'))
                if a is None:
                    continue
                if a.shape != gt.shape:
                    a = cv2.resize(a, (gt.shape[1], gt.shape[0]), interpolation=cv2.INTER_LINEAR)
                rows.append(measures(a, gt))
            r = np.array(rows)
            print('%-10s %-15s scored %2d  IoU %.4f  MAE %.4f  edge sharpness %.3f' % (
                name, method, len(rows), r[:, 0].mean(), r[:, 1].mean(), np.median(r[:, 2])),
                flush=True)
    # Peak memory at 24 megapixels (6000 x 4000), from the first photo.
    first = sorted(glob.glob(os.path.join(work, '*', 'images', '*.png')))[0]
    photo24 = os.path.join(work, 'photo24.png')
    cv2.imwrite(photo24, cv2.resize(cv2.imread(first), (6000, 4000), interpolation=cv2.INTER_CUBIC))
    run = subprocess.run(['/usr/bin/time', '-v', cut, '-q', '--overwrite', '--full-size', '-o',
                          os.path.join(work, 'm24'), photo24], capture_output=True, text=True)
    peak = re.search(r'Maximum resident set size \(kbytes\): (\d+)', run.stderr)
    print('24 MP --full-size: peak memory %.0f MB' % (int(peak.group(1)) / 1024 if peak else -1))

if __name__ == '__main__':
    main()
