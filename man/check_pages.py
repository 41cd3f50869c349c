"""Checks the manual pages against the programs, so that they cannot drift apart unnoticed.

- Every option letter a program accepts has an item of its own in the program's page
  (".It Fl L ..."), or, for the orvconf word options (-key is -k with the argument "ey"), the
  words its usage text names have theirs.
- The environment variables named in orvclient's usage text have items in orvclient.1.
- Every session field of store/session_fields.h has its entry in orvane.5, naming the orvconf
  option and the session view label that the table gives it.

Which letters a program accepts is learnt by asking it: each letter is passed alone, and only an
unknown letter draws the option parser's "invalid option" complaint. The programs run without a
terminal, with standard input empty and in a scratch directory as HOME, so that nothing waits for
a password or touches a real configuration file.
"""
import argparse
import os
import re
import string
import subprocess
import sys
import tempfile

TIMEOUT = 20


def run(program, args, home):
    env = dict(os.environ, HOME=home)
    r = subprocess.run([os.path.abspath(program), *args], stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, env=env, cwd=home, timeout=TIMEOUT, start_new_session=True)
    return r.returncode, r.stderr


def accepted_letters(program, home):
    letters = set()
    for letter in string.ascii_letters:
        _, err = run(program, ["-" + letter], home)
        if "invalid option -- '%s'" % letter not in err:
            letters.add(letter)
    return letters


def usage_text(program, args, home):
    status, err = run(program, args, home)
    if status != 1 or "version" not in err:
        sys.exit("%s %s: expected the usage text with status 1, got %d %r" % (program, args, status, err))
    return err


def usage_words(usage):
    """The word options a usage text names: -key, -listall, ..."""
    return set(re.findall(r"(?<![\w-])-([A-Za-z]{2,})", usage))


def item_words(source, macro):
    """What the list items of a page (".It" lines) name with `macro`: Fl L, Fl key, Ev HOME."""
    words = set()
    for line in re.findall(r"^\.It .*$", source, re.M):
        words.update(re.findall(r"\b%s (\w+)" % macro, line))
    return words


def check_options(name, program, source, usage, home, failures):
    items = item_words(source, "Fl")
    words = usage_words(usage)
    for word in sorted(words - items):
        failures.append("%s: -%s is in the usage text but has no item in the page" % (name, word))
    letters = accepted_letters(program, home)
    if not letters:
        failures.append("%s: no option letter accepted; the probe is broken" % name)
    for letter in sorted(letters):
        if letter in items or any(w[0] == letter for w in words):
            continue  # an option of its own, or a word option's letter (its words are checked above)
        failures.append("%s: option -%s is accepted but has no item in the page" % (name, letter))


def session_fields(header):
    """(key, option letter, view label) of each row of the session field table."""
    text = open(header).read()
    rows = re.findall(r'\{"(\w+)",\s*field_kind::\w+,[^{}]*?\'(\w)\',\s*"([^"]+)"', text)
    if not rows or len(rows) != len(re.findall(r'\{"\w+",\s*field_kind::', text)):
        sys.exit("%s: could not read the session field table (%d rows)" % (header, len(rows)))
    return rows


def check_fields(header, orvane_source, failures):
    # Each field's entry runs from its ".It Cm key" line to the next field's.
    entries = {}
    for chunk in re.split(r"^(?=\.It Cm \w+ Pq )", orvane_source, flags=re.M)[1:]:
        entries[chunk.split()[2]] = chunk
    for key, letter, label in session_fields(header):
        entry = entries.get(key)
        if entry is None:
            failures.append("orvane.5: session field %s has no entry" % key)
            continue
        if not re.search(r"^\.Fl %s\b" % letter, entry, re.M):
            failures.append("orvane.5: %s does not name its option -%s" % (key, letter))
        if label not in entry:
            failures.append("orvane.5: %s does not name its view label %r" % (key, label))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pages", required=True, help="the directory of the pages")
    ap.add_argument("--fields", required=True, help="store/session_fields.h")
    ap.add_argument("--orvclient", required=True)
    ap.add_argument("--orvserver", required=True)
    ap.add_argument("--orvconf", required=True)
    a = ap.parse_args()

    failures = []
    with tempfile.TemporaryDirectory() as home:
        client_usage = usage_text(a.orvclient, ["-h"], home)
        programs = [
            ("orvclient", a.orvclient, client_usage),
            ("orvserver", a.orvserver, usage_text(a.orvserver, ["-h"], home)),
            ("orvconf", a.orvconf, usage_text(a.orvconf, [], home)),
        ]
        pages = {name: open(os.path.join(a.pages, name + ".1")).read() for name, _, _ in programs}
        for name, program, usage in programs:
            check_options(name, program, pages[name], usage, home, failures)
        if os.listdir(home):
            failures.append("the probes left files behind: %s" % os.listdir(home))
    variables = set(re.findall(r"\bORV_[A-Z]+\b", client_usage))
    for variable in sorted(variables - item_words(pages["orvclient"], "Ev")):
        failures.append("orvclient: %s is in the usage text but has no item in the page" % variable)
    check_fields(a.fields, open(os.path.join(a.pages, "orvane.5")).read(), failures)

    for f in failures:
        print(f)
    if failures:
        sys.exit(1)
    print("pages agree with the programs")


if __name__ == "__main__":
    main()
