"""What other tools call: the Sphinx extension, the MkDocs plugin, and the pre-commit hook.

Each calls the engines and the runner as a user's script would; none is
imported by the rest of the toolkit.
"""
