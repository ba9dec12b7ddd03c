#!/usr/bin/python3
"""Screen preview benchmark: the whole preview pipeline under Wine and each of its stages, against
a native libjpeg-turbo floor (downscale and encoding) of the same pixels. Figures only.

    cmake --build --preset windows --target screen_capture_bench_win
    cmake --preset bench && cmake --build --preset bench --target screen_floor_bench
    bench/screen_capture_wine.py

The picture is a synthetic desktop (windows with text, a gradient, a photo-like area), shown full
screen on a 1920 x 1080 display of its own, with the arrow cursor on it.
"""
import argparse
import json
import pathlib
import random
import statistics
import subprocess
import sys

from PIL import Image, ImageDraw, ImageFilter

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))
from private_display import PrivateDisplay  # noqa: E402


def desktop_picture():
    picture = Image.new("RGB", (1920, 1080))
    draw = ImageDraw.Draw(picture)
    for y in range(1080):
        draw.line([(0, y), (1919, y)], fill=(20 + y // 12, 60 + y // 20, 120 + y // 10))
    generator = random.Random(7)
    photo = Image.frombytes("RGB", (480, 320), bytes(generator.randrange(256)
                                                     for _ in range(480 * 320 * 3)))
    photo = photo.filter(ImageFilter.GaussianBlur(3)).resize((960, 640))
    for left, top, width, height in [(80, 60, 1000, 700), (700, 300, 1100, 720)]:
        draw.rectangle([left, top, left + width, top + height], fill=(250, 250, 250),
                       outline=(90, 90, 90))
        draw.rectangle([left, top, left + width, top + 32], fill=(40, 70, 140))
        for line in range(top + 50, top + height - 20, 18):
            words = " ".join(generator.choice(["remote", "support", "ticket", "preview",
                                               "monitor", "session", "agent", "customer"])
                             for _ in range(generator.randrange(4, 14)))
            draw.text((left + 16, line), words, fill=(20, 20, 20))
    picture.paste(photo, (880, 380))
    draw.rectangle([0, 1040, 1919, 1079], fill=(30, 30, 40))
    red, green, blue = picture.split()
    return Image.merge("RGBA", (blue, green, red, Image.new("L", picture.size, 0))).tobytes()


def summary(values):
    ordered = sorted(values)
    decile = max(1, len(ordered) // 10)
    return {"median": statistics.median(ordered), "p10": ordered[decile - 1],
            "p90": ordered[-decile], "min": ordered[0], "max": ordered[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default=ROOT / "build/windows/bench/screen_capture_bench_win.exe")
    parser.add_argument("--floor", default=ROOT / "build/bench/bench/screen_floor_bench")
    parser.add_argument("--work", default=ROOT / "build/windows/screen_capture_bench.work")
    parser.add_argument("--frames", type=int, default=100)
    args = parser.parse_args()
    work = pathlib.Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    picture = work / "desktop.bgrx"
    picture.write_bytes(desktop_picture())

    wine_result = work / "wine.json"
    with PrivateDisplay(work / "wine", ROOT / "build/windows/wine", "1920x1080", ()) as display, \
            open(work / "wine.log", "wb") as log:
        display.run("/usr/bin/wine", str(args.exe), str(picture), str(wine_result),
                    str(args.frames), check=True, timeout=1800, stdout=log, stderr=log)
    floor_result = work / "floor.json"
    subprocess.run([str(args.floor), str(picture), str(floor_result), str(args.frames)],
                   check=True, timeout=1800)

    figures = json.loads(wine_result.read_text()) | json.loads(floor_result.read_text())
    print(f"{args.frames} frames of 1920 x 1080 to 1280 x 720; JPEG {figures['jpeg_bytes']} bytes "
          f"(floor {figures['floor_jpeg_bytes']}), Base64 {figures['base64_chars']} characters")
    print(f"{'stage (ms)':34} {'median':>8} {'p10':>8} {'p90':>8} {'min':>8} {'max':>8}")
    rows = [("pipeline under Wine (CaptureMonitor)", "pipeline_ms"),
            ("  desktop check, monitor lookup", "lookup_ms"),
            ("  capture: StretchBlt HALFTONE", "capture_ms"), ("  cursor", "cursor_ms"),
            ("  32 to 24 bit", "convert_ms"), ("  WIC JPEG", "encode_ms"),
            ("  Base64", "base64_ms"), ("native floor: downscale + JPEG", "floor_ms"),
            ("  downscale", "floor_downscale_ms"), ("  libjpeg-turbo", "floor_encode_ms")]
    for title, key in rows:
        s = summary(figures[key])
        print(f"{title:34} {s['median']:8.2f} {s['p10']:8.2f} {s['p90']:8.2f} {s['min']:8.2f} "
              f"{s['max']:8.2f}")
    ratio = statistics.median(figures["pipeline_ms"]) / statistics.median(figures["floor_ms"])
    print(f"pipeline / floor (medians): {ratio:.2f}")


if __name__ == "__main__":
    main()
