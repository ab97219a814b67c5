"""`oska-render serve` as the lookdev tests run it: started on a scene, its
address and token read from its first line, its memory read, and stopped by
SIGTERM (killed only if it hangs)."""
import signal
import subprocess
import time
import urllib.parse


class ServedScene:
    def __init__(self, program, scene, threads):
        self.scene = scene
        self.process = subprocess.Popen([program, "serve", scene, "--threads", threads],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert line.startswith("oska lookdev: http://127.0.0.1:"), line
        self.url = line.split(": ", 1)[1].strip()
        parts = urllib.parse.urlparse(self.url)
        self.port = parts.port
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]

    def memory_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            return next((int(l.split()[1]) for l in f if l.startswith("VmRSS:")), 0)

    def terminate(self, hang):
        """Seconds from SIGTERM to the exit, and the exit status; after `hang`
        seconds the server is killed."""
        started = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(hang)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return time.monotonic() - started, self.process.returncode
