"""Every fenced code block of the README runs as pasted: the Python blocks
in order as one script, the bash blocks in a shell, both in a fresh folder.
(The set-up commands are indented text, not fenced: they are what runs this.)"""

import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def blocks(language):
    return re.findall(r"^```%s\n(.*?)^```" % language, README.read_text(encoding="utf-8"), re.S | re.M)


def test_every_code_block_runs(tmp_path):
    python, bash, json_blocks = blocks("python"), blocks("bash"), blocks("json")
    assert python and bash and json_blocks
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    script = tmp_path / "readme.py"
    script.write_text("\n".join(python), encoding="utf-8")
    ran = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stderr
    assert "2 3 0.666" in ran.stdout and 'code 5 is missing from "codes"' in ran.stdout
    for block in bash:
        ran = subprocess.run(["bash", "-e", "-c", block], cwd=tmp_path, env=env, capture_output=True, text=True,
                             timeout=300)
        assert ran.returncode == 0, ran.stderr
    import json
    for block in json_blocks:
        json.loads(block)
