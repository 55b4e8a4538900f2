#!/usr/bin/env python3
"""Runs the commands shown in a man page's EXAMPLES and compares what they
print with the page. A `cat` of a file that does not exist yet shows the
file that the next commands use, so it creates that file.
usage: man_examples.py PAGE[.gz] BINDIR EXAMPLES WORKDIR"""
import gzip, os, shutil, subprocess, sys

page, bindir, examples, work = sys.argv[1:5]
opener = gzip.open if page.endswith('.gz') else open
with opener(page, 'rt') as f:
    text = f.read()
section = text.split('\n.SH EXAMPLES\n', 1)[1].split('\n.SH ', 1)[0]

def unescape(line):
    return line.replace('\\-', '-').replace('\\&', '').replace('\\e', '\\')

# (command, expected output) in page order
steps = []
for block in section.split('\n.EX\n')[1:]:
    for line in block.split('\n.EE', 1)[0].split('\n'):
        line = unescape(line)
        if line.startswith('$ '):
            steps.append([line[2:], []])
        else:
            steps[-1][1].append(line)

shutil.rmtree(work, ignore_errors=True)
shutil.copytree(examples, os.path.join(work, 'examples'))
env = dict(os.environ, PATH=bindir + os.pathsep + os.environ['PATH'])
failed = 0
for command, expected in steps:
    words = command.split()
    if words[0] == 'cat' and not os.path.exists(os.path.join(work, words[1])):
        with open(os.path.join(work, words[1]), 'w') as f:
            f.write(''.join(l + '\n' for l in expected))
        continue
    run = subprocess.run(['sh', '-c', command], cwd=work, env=env, capture_output=True)
    # the page cannot show a CR: written files end their lines with CR LF
    got = run.stdout.decode('latin-1').replace('\r\n', '\n').splitlines()
    if got != expected or run.stderr:
        failed += 1
        print(f'FAILED: $ {command}\n  page: {expected}\n  got:  {got} {run.stderr!r}')
shutil.rmtree(work)
print(f'{len(steps)} commands, {failed} differ')
sys.exit(1 if failed or not steps else 0)
