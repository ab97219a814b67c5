#!/usr/bin/python3
"""Latency of the lookdev page as an artist meets it, in headless Chromium.

From the input (a change of a parameter in the page) to the first picture
drawn and to the converged one (the scene's own size and samples), median
and spread over 20 changes, then a drag of a slider: from the release to
the converged picture of the last value.

usage: /usr/bin/python3 bench/lookdev_latency.py OSKA_RENDER [SCENE] [--threads N]
(SCENE: examples/showcase.json; N: 2). Prints a Markdown table row.
"""
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "render"))
from lookdev_test import Server, browser, page_state, wait_for  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

# Follows a script that sets `start` (performance.now() at the input): waits
# in the page for the first and the converged picture, and gives both in ms.
WATCH = """
const done = arguments[arguments.length - 1];
const l = window.oskaLookdev;
const generation = () => (l.sent ? l.sent.generation : Infinity);
let first = null;
(function look() {
  const now = performance.now();
  if (first === null && l.frameGeneration >= generation()) first = now - start;
  if (l.final && l.frameGeneration >= generation()) return done([first, now - start]);
  if (now - start > 60000) return done([first, null]);
  requestAnimationFrame(look);
})();
"""


def spread(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return "none"
    return f"{statistics.median(values):.0f} ({values[0]:.0f}–{values[-1]:.0f})"


def main():
    args = sys.argv[1:]
    threads = "2"
    if "--threads" in args:
        at = args.index("--threads")
        threads = args[at + 1]
        del args[at:at + 2]
    program = args[0]
    scene_source = args[1] if len(args) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "examples", "showcase.json")
    work = tempfile.mkdtemp(prefix="oska-lookdev-bench-")
    scene = os.path.join(work, "scene.json")
    shutil.copyfile(scene_source, scene)
    server = Server(program, scene, threads)
    driver = browser()
    try:
        driver.set_script_timeout(90)
        driver.get(server.url)
        wait_for("the first image", lambda: page_state(driver, "oskaLookdev.final"), 120)
        firsts, fulls = [], []
        for k in range(20):
            # The change as the page makes it from a control's input event.
            first, full = driver.execute_async_script(
                "const start = performance.now(); window.oskaLookdev.sent = null;"
                "window.oskaLookdev.change('decay_end', arguments[0]);" + WATCH,
                4.5 + 0.05 * (k % 2))
            firsts.append(first)
            fulls.append(full)
        slider = driver.find_element(By.CSS_SELECTOR, '[data-param="decay_end"] input[type=range]')
        drag = ActionChains(driver).click_and_hold(slider)
        for _ in range(30):
            drag = drag.move_by_offset(1, 0)  # within the range: every step a new value
        drag.release().perform()
        driver.execute_script("window.oskaLookdev.released = performance.now()")
        # Timed from the release to the converged picture of the last value
        # sent, once its answer names its generation.
        _, settled = driver.execute_async_script(
            "const start = window.oskaLookdev.released; const finish = arguments[0];"
            "window.oskaLookdev.idle().then(() => {" +
            WATCH.replace("arguments[arguments.length - 1]", "finish") + "});")
        print("| to the first picture | to the converged one | a drag: release to converged |")
        print("|---|---|---|")
        print(f"| {spread(firsts)} ms | {spread(fulls)} ms | {spread([settled])} ms |")
    finally:
        driver.quit()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
