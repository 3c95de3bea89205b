"""Start-up of the command line: each command as a fresh process, against a floor doing the same.

Run by hand after installing the package:  python benchmarks/bench_startup.py [--quick]
A temporary folder gets a new realm key, a SQLite store with one secret and a compose-like YAML
file with 20 references to it. Each pair (the floor, then the command) runs as fresh processes
of this interpreter, alternating, 60 rounds (--quick: 15) after a warm-up that also checks both
print the same. Prints the median wall time of each and the ratio command / floor.

The floors: ``python -c pass`` for --version; for get and render, a hand-written script that reads
the row from the table, decrypts it with Fernet and writes the value (render: parses the file with
libyaml and substitutes the references by a regular expression).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from cryptography.fernet import Fernet

SECRET_ID = "bench.db.password"
VALUE = "s3cr3t-value"
REFERENCES = 20

_READ = """\
import json, os, sqlite3, sys
from cryptography.fernet import Fernet
fernet = Fernet(os.environ["KUV_TOP_SECRET"])
conn = sqlite3.connect(os.environ["KUV_DATABASE"])
def value(secret_id):
    (data,) = conn.execute(
        "SELECT data FROM records WHERE kind = 'Secrets' AND id = ?", (secret_id,)
    ).fetchone()
    return fernet.decrypt(json.loads(data)["encrypted_secret"].encode()).decode()
"""
GET_FLOOR = _READ + "sys.stdout.write(value(sys.argv[1]))\n"
RENDER_FLOOR = (
    "import re, yaml\n"
    + _READ
    + """\
text = open(sys.argv[1], encoding="utf-8").read()
yaml.load(text, Loader=yaml.CSafeLoader)
sys.stdout.write(re.sub(r"\\$\\{\\{\\s*(.*?)\\s*\\}\\}", lambda m: value(m.group(1)), text))
"""
)


def compose(references: int) -> str:
    parts = ["services:\n"]
    for index in range(references // 2):
        parts.append(
            f"  app{index}:  # service {index}\n"
            f"    image: registry.example/app:1.{index}\n"
            "    ports:\n      - '8080:80'\n"
            "    environment:\n"
            "      MODE: production\n"
            f"      PASSWORD: ${{{{ {SECRET_ID} }}}}\n"
            f'      DSN: "pg://app:${{{{ {SECRET_ID} }}}}@db/app"\n'
        )
    return "".join(parts)


def realm(folder: Path, script: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("KUV_")}
    env["KUV_TOP_SECRET"] = Fernet.generate_key().decode()
    env["KUV_DATABASE"] = str(folder / "kuv.sqlite3")
    subprocess.run([script, "init"], env=env, cwd=folder, check=True, capture_output=True)
    subprocess.run(
        [script, "put", "--owner", "bench", "--name", "bench.db.password", "--id", SECRET_ID],
        input=VALUE.encode(),
        env=env,
        cwd=folder,
        check=True,
        capture_output=True,
    )
    (folder / "compose.yaml").write_text(compose(REFERENCES), encoding="utf-8")
    return env


def run(command: list[str], env: dict[str, str], cwd: Path) -> tuple[float, bytes]:
    start = time.perf_counter()
    done = subprocess.run(command, env=env, cwd=cwd, stdout=subprocess.PIPE, check=True)
    return time.perf_counter() - start, done.stdout


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--quick", action="store_true", help="15 rounds instead of 60")
    rounds = 15 if options.parse_args().quick else 60
    python = sys.executable
    script = shutil.which("kuv-secrets", path=str(Path(python).parent)) or "kuv-secrets"
    with tempfile.TemporaryDirectory() as temp:
        folder = Path(temp)
        env = realm(folder, script)
        cases = [
            ("--version", [python, "-c", "pass"], [script, "--version"], 2.0),
            (
                "-m --version",
                [python, "-c", "pass"],
                [python, "-m", "kuv_secrets", "--version"],
                2.0,
            ),
            ("get", [python, "-c", GET_FLOOR, SECRET_ID], [script, "get", SECRET_ID], 2.0),
            (
                "render",
                [python, "-c", RENDER_FLOOR, "compose.yaml"],
                [script, "render", "compose.yaml"],
                1.5,
            ),
        ]
        print(f"Python {sys.version.split()[0]}, {rounds} rounds, {script}")
        print(f"{'case':14}{'floor':>10}{'command':>10}{'ratio':>8}{'target':>8}")
        for name, floor, command, target in cases:
            _, expected = run(floor, env, folder)
            _, got = run(command, env, folder)
            if name not in ("--version", "-m --version") and got != expected:
                sys.exit(f"{name}: the command printed {got[:80]!r}, the floor {expected[:80]!r}")
            times: tuple[list[float], list[float]] = ([], [])
            for _ in range(rounds):
                for side, argv in enumerate((floor, command)):
                    times[side].append(run(argv, env, folder)[0])
            base, mine = (statistics.median(t) * 1000 for t in times)
            verdict = "ok" if mine / base <= target else "MISSED"
            print(
                f"{name:14}{base:>8.1f}ms{mine:>8.1f}ms{mine / base:>7.2f}x"
                f"{target:>7.1f}x  {verdict}"
            )


if __name__ == "__main__":
    main()
