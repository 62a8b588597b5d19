#!/usr/bin/python3
"""Checks JSON documents against one of the project's schemas (docs/NAME.schema.json).

Usage: validate_json.py SCHEMA [--lines] FILE...
  SCHEMA   a name ("result", "compare", "history") or the path of a schema file
  FILE     a document, or '-' for standard input; with --lines, one document per line
Exit status: 0 every document is valid; 1 one is not (each error on standard
error with the document and the path of the value); 2 usage or unreadable input.

Tests of any language call it as a program; Python tests may import check(),
which runs it the same way. Either way the interpreter is /usr/bin/python3,
Debian's, with Debian's python3-jsonschema, whatever interpreter runs the test.
"""

import json
import os
import subprocess
import sys

INTERPRETER = "/usr/bin/python3"
DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")


def schema_path(name):
    if os.sep in name or name.endswith(".json"):
        return name
    return os.path.join(DOCS, name + ".schema.json")


def check(documents, schema="result"):
    """Returns the errors of the documents (a value or a list of values) as
    text lines; an empty list when all are valid."""
    if not isinstance(documents, list):
        documents = [documents]
    text = "".join(json.dumps(document) + "\n" for document in documents)
    process = subprocess.run([INTERPRETER, os.path.abspath(__file__), schema, "--lines", "-"],
                             input=text, capture_output=True, text=True, timeout=60)
    if process.returncode not in (0, 1):
        raise RuntimeError("validate_json.py failed: " + process.stderr)
    return process.stderr.splitlines()


def errors_of(validator, document, name):
    for error in sorted(validator.iter_errors(document), key=lambda e: list(e.absolute_path)):
        path = "".join(f"[{part}]" if isinstance(part, int) else f".{part}"
                       for part in error.absolute_path)
        yield f"{name}: {path or '(top)'}: {error.message}"


def main(args):
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    import jsonschema  # Debian's python3-jsonschema

    lines = "--lines" in args
    names = [arg for arg in args[1:] if arg != "--lines"]
    try:
        with open(schema_path(args[0]), encoding="utf-8") as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
    except (OSError, ValueError, jsonschema.SchemaError) as error:
        print(f"validate_json.py: schema {args[0]}: {error}", file=sys.stderr)
        return 2
    validator = jsonschema.Draft202012Validator(schema)
    failed = False
    for name in names:
        try:
            if name == "-":
                text = sys.stdin.read()
            else:
                with open(name, encoding="utf-8") as file:
                    text = file.read()
        except OSError as error:
            print(f"validate_json.py: {error}", file=sys.stderr)
            return 2
        chunks = [(f"{name}:{number}", line) for number, line in
                  enumerate(text.splitlines(), 1) if line.strip()] if lines else [(name, text)]
        for label, chunk in chunks:
            try:
                document = json.loads(chunk)
            except ValueError as error:
                print(f"{label}: not JSON: {error}", file=sys.stderr)
                failed = True
                continue
            for line in errors_of(validator, document, label):
                print(line, file=sys.stderr)
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
