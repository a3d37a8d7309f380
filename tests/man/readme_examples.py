#!/usr/bin/env python3
"""The README's console examples print what the README shows.

Each ```console block holds commands ("$ " lines), each followed by the lines it prints, standard
output and standard error as a terminal shows them; "…" stands for any text. The commands run in
bash, in a scratch folder that holds the examples and the build's programs (build/app/) and
stands in for /tmp/. Usage: readme_examples.py README EXAMPLES_DIR APP_DIR
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"^( *)```console\n(.*?)^\1```", re.S | re.M)


def examples(readme):
    for indent, block in BLOCK.findall(readme):
        command, printed = None, []
        for line in block.splitlines():
            line = line[len(indent):]
            if line.startswith("$ "):
                if command is not None:
                    yield command, printed
                command, printed = line[2:], []
            elif command is not None:
                printed.append(line)
        if command is not None:
            yield command, printed


def matches(expected, actual):
    pattern = ".*".join(re.escape(part) for part in expected.split("…"))
    return re.fullmatch(pattern, actual) is not None


def main(readme_path, examples_dir, app_dir):
    work = tempfile.mkdtemp(prefix="pt-readme-")
    try:
        os.makedirs(os.path.join(work, "build"))
        os.symlink(app_dir, os.path.join(work, "build", "app"))
        os.symlink(examples_dir, os.path.join(work, "examples"))
        failed, ran = 0, 0
        for command, printed in examples(pathlib.Path(readme_path).read_text(encoding="utf-8")):
            ran += 1
            here = lambda text: text.replace("/tmp/", work + "/")
            run = subprocess.run(["bash", "-c", here(command)], cwd=work, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
            actual = run.stdout.splitlines()
            expected = [here(line) for line in printed]
            if len(actual) != len(expected) or not all(map(matches, expected, actual)):
                failed += 1
                print(f"$ {command}\nREADME shows:\n" + "\n".join(printed) + "\nprinted:\n" +
                      run.stdout.replace(work + "/", "/tmp/"))
        if ran == 0:
            print("no console example in the README")
        return 1 if failed or ran == 0 else 0
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
