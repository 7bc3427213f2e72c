"""Text made safe for XML and HTML markup, and for JSON inside a script element.

Node names come from files and may hold anything a string can: quotes, ``<``,
``&``, control characters, lone surrogates. Markup gets them escaped; the few
characters XML 1.0 cannot carry at all (C0 controls other than tab, line feed
and carriage return, U+FFFE, U+FFFF, lone surrogates) are shown as visible
stand-ins: a C0 control as its Control Pictures sign (U+2400 + code, so U+0001
reads "␁"), the others as U+FFFD. JSON keeps every name exactly.
"""

import json
import re

_UNREPRESENTABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")
_MARKUP = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;",
           "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"}
_MARKUP_CHARS = re.compile("[&<>\"'\t\n\r]")
# Inside <script> only "</" and "<!--" matter; escaping every <, > and & also keeps the JSON
# readable by tools that search the page's text. (str.replace, three times over, is many times
# faster than str.translate on the megabytes of a large page.)
_SCRIPT_JSON = (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"))


def _stand_in(match):
    char = match.group()
    return chr(0x2400 + ord(char)) if char < " " else "\ufffd"


def visible(text):
    """``text`` with the characters markup cannot carry replaced by visible stand-ins."""
    return _UNREPRESENTABLE.sub(_stand_in, str(text))


def markup_can_hold(text):
    """True when XML can carry ``text`` as it is."""
    return _UNREPRESENTABLE.search(text) is None


def unique_texts(names, can_hold=markup_can_hold):
    """One text per name, never two alike: the name itself wherever ``can_hold`` it (the first of names
    that read alike), else its visible form, numbered " (2)", " (3)", ... when another name reads so."""
    texts = [str(name) for name in names]
    if can_hold is markup_can_hold and all(type(name) is str for name in names) and len(set(texts)) == len(texts) \
            and markup_can_hold("\t".join(texts)):
        return texts  # the common case, decided at once: names of a graph that markup holds as they are
    taken = set()
    kept = []
    for text in texts:
        keep = can_hold(text) and text not in taken
        kept.append(keep)
        if keep:
            taken.add(text)
    result = []
    for text, keep in zip(texts, kept):
        if keep:
            result.append(text)
            continue
        base = visible(text)
        candidate, number = base, 1
        while candidate in taken:
            number += 1
            candidate = f"{base} ({number})"
        taken.add(candidate)
        result.append(candidate)
    return result


def escape(text):
    """``text`` for XML or HTML, in element content and in double- or single-quoted attributes alike."""
    return _MARKUP_CHARS.sub(lambda m: _MARKUP[m.group()], visible(text))


def script_json(value):
    """``value`` as JSON that can stand inside a ``<script type="application/json">`` element."""
    text = json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":"))
    for char, escaped in _SCRIPT_JSON:
        text = text.replace(char, escaped)
    return text
