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
  its name;
- every key of the settings file (the table kRules in channel/settings.cpp)
  must have its row in the key table of docs/channel-settings-and-timing.md
  (`| `key` | values | default | ... |`), and no row may name a key the
  code does not have. The values cell must give what the code takes: both
  words of a word key (`frame`, `window`), the lowest and highest number of
  a number key and no other number (`20 to 4000`; `1`, `0`), the allowed
  text of a text key ("a path of at most 200 characters"). Range ends that
  are constants are read from the headers. The default cell must give the
  code's default: the constant kDefault<Key> (block_quiet_ms:
  kDefaultBlockQuietMs) where the code has one, else the value in
  ZERO_STATE_DEFAULTS below; a key with neither, or with both, fails;
- every figure README.md quotes from the proof runs must be in the proof
  file it cites. The rule: a paragraph, list item or table row of README.md
  that links a docs/proof/<run>/figures.md or docs/proof/summary.md cites
  proof results, and every figure in it (a number with a unit: ms, s, min,
  %, ×, KB, ...) must appear, the same number with the same unit, in one of
  the files it links. A figure that is no proof result (a run's length, a
  build's time) goes in a paragraph without such a link.
Prints each one missing, with the file and line that makes it; exit 1 then.
  docs_check.py --self-test
checks the settings and figures checks against a small fake tree: a good
one passes, and each broken one fails naming its key or figure."""
import pathlib
import re
import sys
import tempfile

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

SETTINGS_CODE = "channel/settings.cpp"
SETTINGS_DOC = "docs/channel-settings-and-timing.md"
CONSTANT_FILES = ("gateway/*.h", "channel/*.h", SETTINGS_CODE)
# The defaults no kDefault<Key> constant names: the code states them as the
# zero state of a channel's LineSettings (and an empty trace_file), which
# Stored() in channel/settings.cpp reads back as the key's first word, the
# check on, the trace off, no gap, no file. Kept here by hand: a key of
# kRules with neither a constant nor an entry here fails, and so does an
# entry for a key kRules does not have or one its rule would refuse.
ZERO_STATE_DEFAULTS = {
    "answer_end": "frame",          # answerEndWindow 0
    "block_answer_end": "window",   # blockEndQuiet 0
    "check_crc": "1",               # crcUnchecked 0
    "trace": "0",                   # traceOn 0
    "send_gap_ms": "0",             # sendGapMs 0
    "check_frame_numbers": "1",     # frameNumbersUnchecked 0
    "confirm_changes": "1",         # changesUnconfirmed 0
    "trace_file": "none",           # traceFile empty
}
RULE = re.compile(r'\{\s*"(\w+)"\s*,\s*"([^"]*)"\s*,\s*(\w+)\s*,\s*(\w+)\s*,\s*\{([^{}]*)\}\s*\}')


def camel(key):
    return "".join(word[:1].upper() + word[1:] for word in key.split("_"))


def constants(root):
    """Every `constexpr ... kName = number` of the settings' headers: name -> number."""
    found = {}
    for pattern in CONSTANT_FILES:
        for path in sorted(root.glob(pattern)):
            text = strip_comments(path.read_text(encoding="utf-8"))
            for decl in re.finditer(r"\bconstexpr\b[^;{]*;", text):
                for m in re.finditer(r"\b(k\w+)\s*=\s*(\d+)\b", decl.group(0)):
                    found.setdefault(m.group(1), int(m.group(2)))
    return found


def takes(words, ends, value):
    """Whether a key's rule takes the value: one of its words, or a number
    within its range; a text key (range 0 to 0, no words) takes any."""
    if words:
        return value in words
    if len(ends) < 2 or ends[0] == ends[1]:
        return True
    return value.isdigit() and ends[0] <= int(value) <= ends[1]


def settings_rows(root, problems):
    """The key table of the settings page: key -> (values cell, default cell)."""
    rows, lines = {}, (root / SETTINGS_DOC).read_text(encoding="utf-8").splitlines()
    at = next((i for i, l in enumerate(lines) if re.match(r"\|\s*key\s*\|\s*values\s*\|\s*default\s*\|", l)), None)
    if at is None:
        problems.append("%s: no table headed | key | values | default |" % SETTINGS_DOC)
        return rows
    for line in lines[at + 2:]:
        m = re.match(r"\|\s*`(\w+)`\s*\|([^|]*)\|([^|]*)\|", line)
        if not m:
            break
        rows[m.group(1)] = (re.sub(r"\s+", " ", m.group(2)).strip(), m.group(3).replace("`", "").strip())
    return rows


def check_settings(root, problems, zero_state=None):
    zero_state = ZERO_STATE_DEFAULTS if zero_state is None else zero_state
    text = strip_comments((root / SETTINGS_CODE).read_text(encoding="utf-8"))
    table = re.search(r"\bkRules\s*\[[^\]]*\]\s*=\s*\{(.*?)\n\s*\};", text, re.S)
    if not table:
        problems.append("%s: no table kRules: the check cannot read the settings keys" % SETTINGS_CODE)
        return 0
    known, rows = constants(root), settings_rows(root, problems)
    keys = []
    for m in RULE.finditer(text, table.start(1), table.end(1)):
        name, allowed, low, high, words = m.groups()
        keys.append(name)
        where = "%s:%d: settings key %s" % (SETTINGS_CODE, line_of(text, m.start()), name)
        ends = []
        for end in (low, high):
            if end.isdigit() or end in known:
                ends.append(int(end) if end.isdigit() else known[end])
            else:
                problems.append("%s: its range end %s is neither a number nor a constant of %s"
                                % (where, end, ", ".join(CONSTANT_FILES)))
        words = re.findall(r'"([^"]*)"', words)
        constant = known.get("kDefault" + camel(name))
        if constant is not None and name in zero_state:
            problems.append("%s: kDefault%s and ZERO_STATE_DEFAULTS both give its default: drop the entry"
                            % (where, camel(name)))
        default = str(constant) if constant is not None else zero_state.get(name)
        if default is None:
            problems.append("%s: no default: the code has no kDefault%s, and ZERO_STATE_DEFAULTS in %s has no entry"
                            % (where, camel(name), "tests/docs/docs_check.py"))
        elif not takes(words, ends, default):
            problems.append("%s: its default %s (from %s) is one its rule refuses (%s)"
                            % (where, default, "ZERO_STATE_DEFAULTS" if constant is None else "kDefault" + camel(name),
                               allowed))
        if name not in rows:
            problems.append("%s has no row in the key table of %s" % (where, SETTINGS_DOC))
            continue
        values, documented = rows[name]
        if words:
            said = set(re.findall(r"`([^`]+)`", values))
            if said != set(words):
                problems.append("%s: %s gives the values %s, the code takes %s"
                                % (where, SETTINGS_DOC, ", ".join(sorted(said)) or "none", ", ".join(words)))
        elif len(ends) == 2 and ends[0] == ends[1]:  # a text: the rule's words say what it takes
            phrase = re.sub(r"^not\s+", "", allowed)
            if phrase not in values:
                problems.append('%s: %s does not say "%s" in its values' % (where, SETTINGS_DOC, phrase))
        elif len(ends) == 2:
            said = sorted({int(n) for n in re.findall(r"\d+", values)})
            if said != sorted(set(ends)):
                problems.append("%s: %s gives the range %s, the code takes %d to %d"
                                % (where, SETTINGS_DOC, values, ends[0], ends[1]))
        if default is not None and documented != default:
            problems.append("%s: %s gives the default %s, the code's is %s"
                            % (where, SETTINGS_DOC, documented or "none", default))
    for name in sorted(set(rows) - set(keys)):
        problems.append("%s: the key table has %s, which kRules in %s does not have"
                        % (SETTINGS_DOC, name, SETTINGS_CODE))
    for name in sorted(set(zero_state) - set(keys)):
        problems.append("tests/docs/docs_check.py: ZERO_STATE_DEFAULTS has %s, which kRules does not have" % name)
    if not keys:
        problems.append("%s: kRules holds no entry the check can read" % SETTINGS_CODE)
    return len(keys)


# A figure: a number with its unit. A README block that links one of these
# files cites proof results.
UNITS = "ms|µs|ns|s|min|minutes|seconds|h|hours|%|×|KB|MB|GB|reads/s|baud"
FIGURE = re.compile(r"(?<![\w.,])(\d+(?:[.,]\d+)*)\s?(%s)(?![\w/])" % UNITS)
PROOF_LINK = re.compile(r"\]\((?:\./)?(docs/proof/(?:[\w.-]+/figures|summary)\.md)(?:#[^)]*)?\)")


def readme_blocks(text):
    """(line, text) of each paragraph, list item and table row, outside code blocks."""
    blocks, current, fenced = [], None, False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            fenced, current = not fenced, None
            continue
        if fenced or not line.strip():
            current = None
            continue
        starts = re.match(r"[|#]|(?:[-*]|\d+\.)\s", line)  # a row, a heading, a list item
        if current is None or starts:
            current = [number, line]
            blocks.append(current)
        else:
            current[1] += "\n" + line
    return blocks


def check_readme_figures(root, problems):
    count = 0
    for number, block in readme_blocks((root / "README.md").read_text(encoding="utf-8")):
        cited = PROOF_LINK.findall(block)
        if not cited:
            continue
        missing = [c for c in cited if not (root / c).is_file()]
        for c in missing:
            problems.append("README.md:%d: links %s, which is not in the tree" % (number, c))
        sources = normalized([root / c for c in cited if c not in missing])
        prose = re.sub(r"\]\([^)]*\)", "]", block)  # the figures, not the links' paths
        for m in FIGURE.finditer(prose):
            count += 1
            value, unit = m.groups()
            if not re.search(r"(?<![\d.,])%s\s?%s(?![\w/])" % (re.escape(value), re.escape(unit)), sources):
                problems.append('README.md:%d: the figure "%s" is in none of %s'
                                % (number + prose.count("\n", 0, m.start()), m.group(0), ", ".join(cited)))
    return count


FAKE_TREE = {
    "gateway/line_settings.h": "constexpr uint32_t kDefaultBlockQuietMs = 300;\n"
                               "constexpr uint32_t kShortestBlockQuietMs = 20, kLongestBlockQuietMs = 4000;\n",
    SETTINGS_CODE: 'constexpr KeyRule kRules[kSettingCount] = {\n'
                   '    {"answer_end", "not frame or window", 0, 0, {"frame", "window"}},\n'
                   '    {"block_quiet_ms", "not a number from 20 to 4000", kShortestBlockQuietMs, kLongestBlockQuietMs,'
                   ' {nullptr, nullptr}},\n'
                   '    {"check_crc", "not 0 or 1", 0, 1, {nullptr, nullptr}},\n'
                   '    {"trace_file", "not a path of at most 200 characters", 0, 0, {nullptr, nullptr}},\n'
                   '};\n',
    SETTINGS_DOC: "| key | values | default | what it does |\n|---|---|---|---|\n"
                  "| `answer_end` | `frame`, `window` | `frame` | how an answer ends |\n"
                  "| `block_quiet_ms` | 20 to 4000 | 300 | the gap |\n"
                  "| `check_crc` | `1`, `0` | `1` | the check |\n"
                  "| `trace_file` | a path of at most 200 characters | none | the file |\n",
    "README.md": "The image takes about 6 minutes to build.\n\n"
                 "- The last run ([figures](docs/proof/full/figures.md)): a single read 1.0020 × its\n"
                 "  floor, 0.50 ms CPU per read.\n- Not cited: 99 ms.\n",
    "docs/proof/full/figures.md": "| single read | **1.0020 ×** met |\n"
                                  "| CPU | single read 0.50 ms, block read 0.91 ms |\n",
}
FAKE_ZERO_STATE = {"answer_end": "frame", "check_crc": "1", "trace_file": "none"}
# Each broken tree: (what, file, text, its replacement, what a problem must name).
BROKEN = [
    ("a wrong default", SETTINGS_DOC, "| 300 |", "| 250 |", "block_quiet_ms: %s gives the default 250" % SETTINGS_DOC),
    ("a wrong range", SETTINGS_DOC, "20 to 4000", "20 to 5000", "block_quiet_ms: %s gives the range" % SETTINGS_DOC),
    ("a constant default changed", "gateway/line_settings.h", "= 300", "= 400",
     "block_quiet_ms: %s gives the default 300, the code's is 400" % SETTINGS_DOC),
    ("a default its rule refuses", "gateway/line_settings.h", "= 300", "= 5000",
     "block_quiet_ms: its default 5000 (from kDefaultBlockQuietMs) is one its rule refuses"),
    ("a missing row", SETTINGS_DOC, "| `check_crc` | `1`, `0` | `1` | the check |\n", "", "check_crc has no row"),
    ("a wrong word", SETTINGS_DOC, "`frame`, `window`", "`frame`, `windows`",
     "answer_end: %s gives the values" % SETTINGS_DOC),
    ("a row without a key", SETTINGS_DOC, "| `check_crc`", "| `check_crcs`", "has check_crcs, which kRules"),
    ("a key without a default", SETTINGS_CODE, "};", '    {"new_key", "not 0 or 1", 0, 1, {nullptr, nullptr}},\n};',
     "new_key: no default"),
    ("a text key's words changed", SETTINGS_CODE, "at most 200", "at most 250",
     "trace_file: %s does not say" % SETTINGS_DOC),
    ("a figure not in the file", "README.md", "0.50 ms", "0.60 ms", '"0.60 ms" is in none'),
    ("a figure on the item's second line", "README.md", "1.0020 × its\n  floor, 0.50 ms",
     "1.0020 × its\n  floor, 0.5 ms", 'README.md:4: the figure "0.5 ms"'),
    ("a cited file that is missing", "README.md", "docs/proof/full/figures.md", "docs/proof/fast/figures.md",
     "links docs/proof/fast/figures.md, which is not in the tree"),
]


def self_test():
    failures = []
    with tempfile.TemporaryDirectory() as temp:
        root = pathlib.Path(temp)

        def run(edit=None):
            for name, text in FAKE_TREE.items():
                if edit and edit[0] == name:
                    if edit[1] not in text:
                        failures.append("the fake tree's %s has no %r to change" % (name, edit[1]))
                    text = text.replace(edit[1], edit[2], 1)
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_text(text, encoding="utf-8")
            problems = []
            counts = (check_settings(root, problems, FAKE_ZERO_STATE), check_readme_figures(root, problems))
            return counts, problems

        counts, problems = run()
        if counts != (4, 2) or problems:
            failures.append("the good tree: %d keys and %d figures (4 and 2 expected), problems: %s"
                            % (counts + (problems,)))
        for what, name, old, new, named in BROKEN:
            _, problems = run((name, old, new))
            if not any(named in p for p in problems):
                failures.append("%s: no problem names %s (problems: %s)" % (what, named, problems))
    for failure in failures:
        print("self-test: " + failure)
    print("docs_check self-test: the good tree and %d broken ones; %d failed" % (len(BROKEN), len(failures)))
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    lines = check_log_lines(root, problems)
    options = check_console(root, problems)
    keys = check_settings(root, problems)
    figures = check_readme_figures(root, problems)
    if lines == 0 or options == 0 or keys == 0:
        problems.append("found %d log texts, %d console commands and options and %d settings keys: "
                        "the check read nothing" % (lines, options, keys))
    for problem in problems:
        print(problem)
    print("docs_check: %d log texts, %d console commands and options, %d settings keys, %d README proof figures; "
          "%d missing" % (lines, options, keys, figures, len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
