#!/usr/bin/env python3
"""The documents against the code they describe:
  docs_check.py ROOT
- every log line of the driver: each format string passed to err() in the
  driver's folders, and each reason text that fills one (a parser's refusal,
  a transaction's rejection, a port's Windows reason), must appear in
  docs/log-messages.md or docs/gate-addresses.md. A format matches where its
  fixed parts appear in order, each placeholder standing for a short stretch
  of text (the docs write `%s`, `…`, `COM3`, `<reason>`, or an example value);
- every sub-command and every option of the console (tools/console/*.cpp)
  must appear in docs/console.md: a sub-command as a heading, an option by
  its name.
Prints each one missing, with the file and line that makes it; exit 1 then."""
import pathlib
import re
import sys

DRIVER = ("host", "serial", "address", "gateway", "channel", "entry")
LOG_DOCS = ("docs/log-messages.md", "docs/gate-addresses.md")
CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.\d+)?(?:hh|h|ll|l|z)?[diouxXscp]")
GAP = r".{0,60}?"  # what a placeholder may stand for in the docs


def strip_comments(text):
    """Blanks out comments, keeping string literals and line numbers."""
    out, i, n = [], 0, len(text)
    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text[i] in "\"'":
            m = re.compile(r"%s(?:\\.|[^\\%s\n])*%s" % ((re.escape(text[i]),) * 3)).match(text, i)
            j = m.end() if m else i + 1
            out.append(text[i:j])
            i = j
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


LITERALS = re.compile(r'\s*((?:"(?:\\.|[^"\\\n])*"\s*)+)')


def literal_at(text, at):
    """The string literal (adjacent ones joined) starting at `at`, or None."""
    m = LITERALS.match(text, at)
    if not m:
        return None
    parts = re.findall(r'"((?:\\.|[^"\\\n])*)"', m.group(1))
    return bytes("".join(parts), "utf-8").decode("unicode_escape")


def driver_sources(root):
    for folder in DRIVER:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix in (".cpp", ".h"):
                yield path, strip_comments(path.read_text(encoding="utf-8"))


def line_of(text, at):
    return text.count("\n", 0, at) + 1


def log_texts(root):
    """(where, kind, text): every err() format and every text that fills one."""
    found = []
    for path, text in driver_sources(root):
        rel = path.relative_to(root)
        for m in re.finditer(r"(?<![\w.>])err\s*\(", text):
            if re.search(r"\bint\s*$", text[: m.start()]):
                continue  # the declaration
            comma = text.find(",", m.end())
            fmt = literal_at(text, comma + 1)
            where = "%s:%d" % (rel, line_of(text, m.start()))
            found.append((where, "format", fmt))
        # Reasons that fill a "%s": a parser's refusal, a rejected answer, a
        # Windows error's reason.
        for pattern in (r"\bReject\s*\(\s*\w+\s*,\s*\"[^\"]*\"\s*,", r"\brejected\s*=", r"\breturn(?=\s*\")"):
            for m in re.finditer(pattern, text):
                reason = literal_at(text, m.end())
                if reason is not None and (pattern != r"\breturn(?=\s*\")" or "CommErrorText" in text):
                    found.append(("%s:%d" % (rel, line_of(text, m.start())), "reason", reason))
    return found


def normalized(paths):
    return re.sub(r"\s+", " ", "\n".join(p.read_text(encoding="utf-8") for p in paths))


def format_pattern(fmt):
    fmt = re.sub(r"^%s: ", "", fmt)  # the channel's name: the docs write `%s: `, `VpiSK01: ` or `… `
    pieces = [p.replace("%%", "%") for p in CONVERSION.split(fmt)]
    fixed = [re.escape(re.sub(r"\s+", " ", p)) for p in pieces if p.strip()]
    return re.compile(GAP.join(fixed))


def check_log_lines(root, problems):
    docs = normalized([root / d for d in LOG_DOCS])
    texts = log_texts(root)
    for where, kind, text in texts:
        if text is None:
            problems.append("%s: err() without a string literal as its format: the check cannot read it" % where)
        elif kind == "format" and not format_pattern(text).search(docs):
            problems.append('%s: log line "%s" is in neither %s' % (where, text, " nor ".join(LOG_DOCS)))
        elif kind == "reason" and re.sub(r"\s+", " ", text) not in docs:
            problems.append('%s: the reason "%s" is in neither %s' % (where, text, " nor ".join(LOG_DOCS)))
    return len(texts)


def check_console(root, problems):
    if not (root / "docs/console.md").is_file():
        problems.append("docs/console.md is missing: it lists every console command and option")
        return 0
    page = (root / "docs/console.md").read_text(encoding="utf-8")
    headings = [l for l in page.splitlines() if l.startswith("#")]
    count = 0
    for path in sorted((root / "tools/console").glob("*.cpp")):
        text = strip_comments(path.read_text(encoding="utf-8"))
        rel = path.relative_to(root)
        for m in re.finditer(r"add_subcommand\s*\(", text):
            name = literal_at(text, m.end())
            count += 1
            if not any(re.search(r"`%s\b" % re.escape(name), h) for h in headings):
                problems.append("%s:%d: console command %s has no heading in docs/console.md"
                                % (rel, line_of(text, m.start()), name))
        for m in re.finditer(r"add_(?:option|flag)\s*\(", text):
            names = literal_at(text, m.end()) or ""
            for name in names.split(","):
                if not name.startswith("-"):
                    continue  # a positional argument
                count += 1
                if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(name), page):
                    problems.append("%s:%d: console option %s is not in docs/console.md"
                                    % (rel, line_of(text, m.start()), name))
    return count


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    lines = check_log_lines(root, problems)
    options = check_console(root, problems)
    if lines == 0 or options == 0:
        problems.append("found %d log texts and %d console commands and options: the check read nothing" % (lines, options))
    for problem in problems:
        print(problem)
    print("docs_check: %d log texts, %d console commands and options; %d missing" % (lines, options, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
