"""MkDocs plugin: sign every page of a built site with a C2PA manifest.

In mkdocs.yml:

    plugins:
      - search
      - brevane:
          manifest: c2pa/manifest.json     # or the definition itself, as a mapping
          cert: c2pa/chain.pem
          key: c2pa/signer.key             # or signer_command

After `mkdocs build` (and `gh-deploy`) has written `site_dir`, the plugin signs
it in place with `brevane sign` (see docs/integrations/mkdocs.md for every
option). Options are validated by MkDocs' own config classes, and the signing
settings by the sign command itself when the configuration is loaded, before
any page is built. `mkdocs serve` does not sign unless `on_serve: true`: its
live-reload script is added to each page as it is served, so signed pages would
not verify in the browser anyway.
"""

from __future__ import annotations

import logging
import os
from pathlib import Path
from typing import Literal, Optional

from mkdocs.config import base
from mkdocs.config import config_options as c
from mkdocs.config.defaults import MkDocsConfig
from mkdocs.exceptions import PluginError
from mkdocs.plugins import BasePlugin

from brevane_tools.commands.base import Report, UsageError
from brevane_tools.limits import HASH_ALGS
from brevane_tools.integrations.site import FORMS, SigningFailed, SiteSigning, check, counts, sign_site

log = logging.getLogger(f"mkdocs.plugins.{__name__}")

#: How the sign command's flags are set in mkdocs.yml, for its messages.
_NAMES = {
    "--exclude": "the brevane plugin's exclude option",
    "--replace": "replace: true",
    "--tsa-url URL (or ta_url in the manifest definition)": "tsa_url (or ta_url in the manifest definition)",
}

#: How the sign command's warning for pages signed without a time-stamp authority begins.
_WITHOUT_TSA = "signed without a time-stamp authority"


class BrevaneConfig(base.Config):  # type: ignore[no-untyped-call]
    enabled = c.Type(bool, default=True)
    #: A manifest definition (a mapping) or the path of its JSON file, relative to mkdocs.yml.
    manifest = c.Type((str, dict))
    cert = c.File(exists=True)
    key = c.Optional(c.File(exists=True))
    signer_command = c.Optional(c.Type(str))
    form = c.Choice(FORMS, default="link")
    href = c.Optional(c.Type(str))
    alg = c.Choice(HASH_ALGS, default="sha256")
    signing_alg = c.Type(str, default="es256")
    tsa_url = c.Optional(c.URL())
    jobs = c.Type(int, default=1)
    skip_valid = c.Type(bool, default=True)
    replace = c.Type(bool, default=False)
    exclude = c.ListOfItems(c.Type(str), default=[])
    on_serve = c.Type(bool, default=False)
    #: `false` makes the warning for pages signed without a time-stamp authority an info line, so that
    #: `mkdocs build --strict` passes with a test certificate.
    warn_without_tsa = c.Type(bool, default=True)


class BrevanePlugin(BasePlugin[BrevaneConfig]):  # type: ignore[no-untyped-call]
    def __init__(self) -> None:
        super().__init__()
        self._command: Optional[str] = None

    def on_startup(self, *, command: Literal["build", "gh-deploy", "serve"], dirty: bool) -> None:
        self._command = command

    def _signs(self) -> bool:
        return bool(self.config.enabled) and (self._command != "serve" or bool(self.config.on_serve))

    def _settings(self, config: MkDocsConfig) -> SiteSigning:
        base = Path(os.path.dirname(config.config_file_path or ""))
        return SiteSigning.named(lambda name: getattr(self.config, name), base)

    def on_config(self, config: MkDocsConfig) -> Optional[MkDocsConfig]:
        if self._signs():
            try:
                check(self._settings(config))
            except UsageError as exc:
                raise PluginError(f"brevane: {exc}") from None
        return config

    def on_post_build(self, *, config: MkDocsConfig) -> None:
        if not self._signs():
            if self.config.enabled:
                log.info("brevane: mkdocs serve does not sign pages (set on_serve: true to sign)")
            return
        site = Path(config.site_dir)

        def report(page: Report) -> None:
            if page.ok:
                log.debug("brevane: %s: %s", os.path.relpath(page.path, site), page.text)

        def warn(text: str) -> None:
            quiet = text.startswith(_WITHOUT_TSA) and not self.config.warn_without_tsa
            (log.info if quiet else log.warning)("brevane: %s", text)

        try:
            reports = sign_site(self._settings(config), site, report, warn, _NAMES)
        except (SigningFailed, UsageError) as exc:
            # The failed pages, why, and how to publish them unsigned: one line.
            raise PluginError(f"brevane: {exc}") from None
        log.info("brevane: %s in %s", counts(reports), site)
