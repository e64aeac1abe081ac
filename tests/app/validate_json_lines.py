#!/usr/bin/env python3
"""Validates each line of a JSON Lines file against a JSON Schema (draft 2020-12).

    validate_json_lines.py SCHEMA_FOLDER SCHEMA_NAME FILE

The schemas of the folder may refer to each other by file name. Prints every invalid line
with its errors; exit status 0 only when the file holds at least one line and every line is
valid. Works with the jsonschema of Debian 12 (4.10) and with later ones.
"""
import json
import pathlib
import sys

import jsonschema


def make_validator(folder, name):
    schemas = {path.name: json.loads(path.read_text())
               for path in pathlib.Path(folder).glob("*.schema.json")}
    kind = jsonschema.Draft202012Validator
    for schema in schemas.values():
        kind.check_schema(schema)
    try:
        from referencing import Registry, Resource
    except ImportError:  # jsonschema before 4.18
        resolver = jsonschema.RefResolver(base_uri=name, referrer=schemas[name], store=schemas)
        return kind(schemas[name], resolver=resolver)
    registry = Registry().with_resources(
        (file_name, Resource.from_contents(schema)) for file_name, schema in schemas.items())
    return kind(schemas[name], registry=registry)


def main(folder, name, file):
    validator = make_validator(folder, name)
    lines = pathlib.Path(file).read_text(encoding="utf-8").splitlines()
    invalid = 0
    for number, line in enumerate(lines, 1):
        errors = [error.message for error in validator.iter_errors(json.loads(line))]
        if errors:
            invalid += 1
            print(f"{file}:{number}: {line}")
            for error in errors:
                print(f"  {error}")
    print(f"{len(lines)} lines, {invalid} invalid")
    return 0 if lines and invalid == 0 else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
