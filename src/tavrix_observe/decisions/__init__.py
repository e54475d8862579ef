"""Governance decisions taken before calls leave the process."""
