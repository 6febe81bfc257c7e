"""Helpers that tests share: servers and proxies on this machine, made at test time."""
