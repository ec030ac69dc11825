#!/usr/bin/env python3
"""Writes the page's texts (texts.json) from where the product keeps them: the resource
scripts (dialogs, menu, string table and version, English and Japanese), the few texts
the window's code gives its controls, and the page's own words (page_texts.json). The page
never carries a copy of the product's texts of its own, so it reads as the window does.

    extract_texts.py --source ROOT --page web/page_texts.json --output site/texts.json
"""

import argparse
import json
import os
import re
import sys

LANGUAGES = {"LANG_ENGLISH": "en", "LANG_JAPANESE": "ja"}

# A quoted resource-script string: "" stands for one quote, \n and \t for themselves.
STRING = r'"((?:[^"]|"")*)"'


def unquote(text):
    text = text.replace('""', '"')
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "\\": "\\"}.get(m.group(1), m.group(1)), text)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def strip_comments(text):
    return re.sub(r"^\s*//.*$", "", text, flags=re.M)


def walk_script(text, into, neutral, language="neutral"):
    """Dialogs, menus, string tables and version values of one script, each under the
    language last named before its BEGIN. Neutral resources go to every language."""
    lines = strip_comments(text).split("\n")
    i = 0
    while i < len(lines):
        line = lines[i].strip()
        m = re.match(r"LANGUAGE\s+(\w+)", line)
        if m:
            language = LANGUAGES.get(m.group(1), "neutral")
            i += 1
            continue
        header = re.match(r"(\w+)\s+(DIALOGEX|DIALOG|MENU)\b", line) or re.match(r"(STRINGTABLE)\b", line)
        if header is None:
            header = re.match(r"(VS_VERSION_INFO)\s+VERSIONINFO\b", line)
        if header is None:
            i += 1
            continue
        # The resource's own lines up to its BEGIN, then its body to the matching END.
        caption = None
        i += 1
        while i < len(lines) and lines[i].strip() != "BEGIN":
            inner = lines[i].strip()
            m = re.match(r"LANGUAGE\s+(\w+)", inner)
            if m:
                language = LANGUAGES.get(m.group(1), "neutral")
            m = re.match(r"CAPTION\s+" + STRING, inner)
            if m:
                caption = unquote(m.group(1))
            i += 1
        depth = 0
        body = []
        while i < len(lines):
            inner = lines[i].strip()
            if inner == "BEGIN":
                depth += 1
            elif inner == "END":
                depth -= 1
            else:
                body.append(inner)
            i += 1
            if depth == 0:
                break
        targets = [into.setdefault(language, {})] if language != "neutral" else [neutral]
        name = header.group(1)
        kind = header.group(2) if header.lastindex and header.lastindex >= 2 else name
        for target in targets:
            if kind in ("DIALOG", "DIALOGEX"):
                target.setdefault("dialogs", {})[name] = dialog(caption, " ".join(body))
            elif kind == "MENU":
                target.setdefault("menu", {}).update(menu(body))
            elif kind == "STRINGTABLE":
                for entry in body:
                    m = re.match(r"(\w+)\s+" + STRING, entry)
                    if m:
                        target.setdefault("strings", {})[m.group(1)] = unquote(m.group(2))
            else:
                for entry in body:
                    m = re.match(r"VALUE\s+" + STRING + r"\s*,\s*" + STRING, entry)
                    if m:
                        target.setdefault("version", {})[unquote(m.group(1))] = unquote(m.group(2))


def dialog(caption, body):
    """The caption and each control's text by its identifier; labels (-1) in order."""
    result = {"caption": caption, "labels": []}
    statement = r"(LTEXT|RTEXT|CTEXT|PUSHBUTTON|DEFPUSHBUTTON|CONTROL)\s+" + STRING + r"\s*,\s*([-\w]+)"
    for m in re.finditer(statement, body):
        text = unquote(m.group(2))
        ident = m.group(3)
        if ident == "-1":
            if text:
                result["labels"].append(text)
        else:
            result[ident] = text
    return result


def menu(body):
    items = {}
    for entry in body:
        m = re.match(r"(?:MENUITEM|POPUP)\s+" + STRING + r"(?:\s*,\s*(\w+))?", entry)
        if m:
            items[m.group(2) or unquote(m.group(1))] = unquote(m.group(1))
    return items


def window_texts(source):
    """What the window's code gives its controls and its open-file box."""
    code = read(os.path.join(source, "app", "main_window_win32.cpp"))
    texts = {}
    m = re.search(r'CreateWindowExA\(\s*0\s*,\s*"BUTTON"\s*,\s*' + STRING, code)
    texts["updateButton"] = unquote(m.group(1))
    m = re.search(r"lpstrTitle\s*=\s*" + STRING, code)
    texts["openFileTitle"] = unquote(m.group(1))
    m = re.search(r"lpstrFilter\s*=\s*" + STRING, code)
    parts = m.group(1).split("\\0")
    texts["fileFilters"] = [[parts[k], parts[k + 1]] for k in range(0, len(parts) - 1, 2) if parts[k]]
    return texts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, help="the source tree's root")
    parser.add_argument("--page", required=True, help="the page's own texts (JSON)")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()

    languages = {}
    neutral = {}
    resources = os.path.join(args.source, "resources")
    for script in ("orvent_updater.rc", "main_menu.rc", "dialogs.rc", "config_dialog.rc"):
        text = read(os.path.join(resources, script))
        if script == "main_menu.rc":
            # Included once per language by orvent_updater.rc: the same menu for each.
            for language in LANGUAGES.values():
                walk_script(text, languages, neutral, language)
        else:
            walk_script(text, languages, neutral)

    window = window_texts(args.source)
    with open(args.page, encoding="utf-8") as f:
        page = json.load(f)
    out = {}
    for language in LANGUAGES.values():
        texts = languages.get(language, {})
        for kind, values in neutral.items():
            texts.setdefault(kind, {})
            for key, value in values.items():
                texts[kind].setdefault(key, value)
        texts["window"] = window
        texts["page"] = page.get(language, {})
        out[language] = texts
    for needed in ("STOP_DIALOG", "CONFIG_DIALOG"):
        for language, texts in out.items():
            if needed not in texts.get("dialogs", {}):
                sys.exit("extract_texts.py: no %s for %s in the resource scripts" % (needed, language))
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w", encoding="utf-8") as f:
        json.dump(out, f, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    main()
