"""Auditing a deployed site: its pages as served, their stores as a verifier gets them, and what broke.

`crawling` finds the pages (robots.txt, sitemaps, links) and visits them
politely; `pages` audits one page with the checking engine and says what the
deployment did as `findings`; `diffing` tells how a served page differs from
the signed one; `sitemaps` reads robots.txt and sitemaps as the hostile bytes
they are. No argparse here: `brevane_tools.commands.audit` is the command.
"""
