"""Errors that the codec raises for documents it cannot load."""

from __future__ import annotations


class MissingCodeError(KeyError):
    """A start or item element of a compressed document whose code is not in
    its "codes" array. A KeyError whose only argument is the code, as a
    dict's lookup gives, with a message that says what is missing."""

    def __str__(self) -> str:
        if len(self.args) != 1:
            return super().__str__()
        return f'code {self.args[0]!r:.200} is missing from "codes"'
