"""Ferrovane SDK: a native client for the Ferrovane Accounts REST API."""
