"""Instrumentation helpers: the prompt guard, tool decisions and the run-context variable."""
