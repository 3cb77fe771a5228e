"""The header fields of a raw mail, as the end-to-end tests compare them."""
import re


def split_fields(raw):
    """(list of (lower-case name, raw field with its folded lines), body bytes
    after the blank line). A mail that starts with its blank line has no fields."""
    if raw.startswith(b"\n") or raw.startswith(b"\r\n"):
        return [], raw[raw.index(b"\n") + 1:]
    match = re.search(rb"\r?\n\r?\n", raw)
    head, body = (raw[: match.start() + 1], raw[match.end():]) if match else (raw, b"")
    fields = []
    for line in head.splitlines(keepends=True):
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1] = (fields[-1][0], fields[-1][1] + line)
        else:
            fields.append((line.split(b":", 1)[0].strip().lower().decode("latin-1"), line))
    return fields, body


def unfolded(field):
    """A field's value with its folds joined and its outer blanks gone."""
    return re.sub(rb"\r?\n[ \t]", b" ", field.split(b":", 1)[1]).strip(b" \t\r\n")
