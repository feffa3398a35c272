"""Deployment logs for the Wine suite, built line by line and encoded exactly.

A log is bytes: odd format versions are written in Windows-1252, even ones in
UTF-8, with CR LF or LF line ends, so each test controls what the program reads.
"""

from __future__ import annotations

from dataclasses import dataclass, field

CRLF = "\r\n"
LF = "\n"

DEFAULT_IGNORED = [f"ignored header line {i}" for i in range(1, 7)]


@dataclass
class AssociationBlock:
    extension: str
    previous_description: str = ""
    installed_description: str = ""
    previous_icon: str = ""
    installed_icon: str = ""
    verbs: list[tuple[str, str, str]] = field(default_factory=list)  # name, previous, installed

    def lines(self) -> list[str]:
        out = [self.extension, self.previous_description, self.installed_description,
               self.previous_icon, self.installed_icon]
        for verb in self.verbs:
            out += list(verb)
        return out + ["%"]


@dataclass
class DeploymentLog:
    version: int = 4
    scope: str = "ALL"                      # written for versions 3 and above
    product: str = "E2E Product"
    ignored: list[str] = field(default_factory=lambda: list(DEFAULT_IGNORED))
    confirmation: tuple[str, str, str] = ("Do you want to remove %s?", "All of its parts will be removed.",
                                          "Press Yes to go on.")
    completion: str = "%s was removed."
    restart: tuple[str, str] = ("Some files could not be removed.", "They go at the next restart.")
    admin: str = "Administrator rights are needed to remove %s."   # written for versions 3 and above
    pre_command: str = ""
    first_count: str = "0"
    second_count: str = "0"
    files: list[str] = field(default_factory=list)
    registry: list[str] = field(default_factory=list)
    associations: list[AssociationBlock] = field(default_factory=list)
    components: list[str] = field(default_factory=list)
    comments: list[str] = field(default_factory=list)   # lines before the format version line
    version_line: str | None = None         # the format version line as written, when not str(version)
    newline: str = CRLF
    encoding: str | None = None             # by default cp1252 for odd versions, UTF-8 for even ones

    def header_lines(self) -> list[str]:
        out = list(self.comments)
        out.append(self.version_line if self.version_line is not None else str(self.version))
        if self.version >= 3:
            out.append(self.scope)
        out.append(self.product)
        out += self.ignored
        out += list(self.confirmation)
        out.append(self.completion)
        out += list(self.restart)
        if self.version >= 3:
            out.append(self.admin)
        return out

    def lines(self) -> list[str]:
        out = self.header_lines()
        out += [self.pre_command, self.first_count, self.second_count]
        out += self.files + ["%%%"]
        out += self.registry + ["%%%"]
        for block in self.associations:
            out += block.lines()
        out.append("%%%")
        out += self.components + ["%%%"]
        return out

    @property
    def codec(self) -> str:
        if self.encoding:
            return self.encoding
        return "utf-8" if self.version % 2 == 0 else "cp1252"

    def to_bytes(self) -> bytes:
        # The lines before the format version are always read in the ANSI code page.
        head = len(self.comments) + 1
        lines = self.lines()
        data = b"".join((line + self.newline).encode("cp1252") for line in lines[:head])
        return data + b"".join((line + self.newline).encode(self.codec) for line in lines[head:])

    # What the program shows, as the log defines it.

    def substitute(self, text: str) -> str:
        """The text with its first %s replaced by the product name."""
        return text.replace("%s", self.product, 1)

    @property
    def caption(self) -> str:
        return "Dismora " + self.product

    @property
    def confirmation_text(self) -> str:
        a, b, c = self.confirmation
        return self.substitute(a + "\r" + b + "\r\r" + c)

    @property
    def completion_text(self) -> str:
        return self.substitute(self.completion)

    @property
    def completion_with_restart_text(self) -> str:
        return self.substitute(self.completion + "\r\r" + self.restart[0] + "\r" + self.restart[1])


def comment_lines(count: int) -> list[str]:
    """Lines the reader passes over before the format version: empty ones and ones beginning with ';'."""
    return ["" if i % 3 == 0 else f"; comment {i}" for i in range(count)]
