"""Application rule sets for the guard's tables: the public ones in
../shared/patterns (absent on some machines), keyword-in-context rules of
the shape secret scanners generate, and texts that plant what a rule
matches. Shared by the differential tests and the benchmarks."""

from __future__ import annotations

import json
import pathlib
import random
import re

try:
    from re import _parser as sre_parse
except ImportError:  # 3.10 and older
    import sre_parse

RULES_DIR = pathlib.Path(__file__).resolve().parents[3] / "shared" / "patterns"
RULE_FILES = {"secrets": "rules-stable.json", "personal data": "pii-stable.json"}


def rule_set(name: str) -> dict[str, re.Pattern] | None:
    """The named public rule set as a table, or None when the folder is absent."""
    path = RULES_DIR / RULE_FILES[name]
    if not path.exists():
        return None
    return {label: re.compile(source) for label, source in json.loads(path.read_text())}


def missing_reason() -> str:
    return f"the public rule sets are not in {RULES_DIR}"


VENDORS = [
    "adafruit", "airtable", "algolia", "asana", "atlassian", "beamer", "bitbucket", "bittrex", "clojars", "codecov",
    "coinbase", "confluent", "contentful", "databricks", "datadog", "defined", "discord", "doppler", "droneci",
    "dropbox", "duffel", "dynatrace", "easypost", "etsy", "facebook", "fastly", "finicity", "finnhub", "flickr",
    "flutterwave", "frameio", "freshbooks", "gitter", "gocardless", "grafana", "hashicorp", "heroku", "hubspot",
    "intercom", "kraken", "kucoin", "launchdarkly", "linear", "linkedin", "lob", "mailchimp", "mailgun", "mapbox",
    "mattermost", "messagebird", "netlify", "newrelic", "npm", "nytimes", "okta", "openai", "planetscale",
    "postman", "prefect", "pulumi", "rapidapi", "readme", "rubygems", "scalingo", "sendbird", "sendgrid",
    "sendinblue", "sentry", "shippo", "shopify", "sidekiq", "slack", "snyk", "squarespace", "sumologic",
    "telegram", "travisci", "trello", "twilio", "twitch", "twitter", "typeform", "vault", "yandex", "zendesk",
]


def keyword_rules(count: int = 200, seed: int = 7) -> dict[str, re.Pattern]:
    """Keyword-in-context rules: a vendor's name, a short gap, an
    assignment, then a token of the vendor's shape."""
    rng = random.Random(seed)
    shapes = ["[a-z0-9]{32}", "[a-f0-9]{40}", "[a-zA-Z0-9_-]{24,48}", "[0-9]{8,12}", "[a-z0-9=_\\-]{64}"]
    rules = {}
    for i in range(count):
        vendor = VENDORS[i % len(VENDORS)] + ("" if i < len(VENDORS) else f"[_-]?{['key', 'token', 'secret'][i % 3]}")
        source = (r"(?i)[\w.-]{0,50}?(?:" + vendor + r")(?:[ \t\w.-]{0,20})[\s'\"]{0,3}(?:=|>|:{1,3}=|\|\||:|=>|\?=|,)"
                  r"[\x60'\"\s=]{0,5}(" + rng.choice(shapes) + r")(?:[\x60'\"\s;]|\\[nr]|$)")
        rules[f"kic_{i}"] = re.compile(source)
    return rules


# --- strings a pattern matches, drawn from its parse ----------------------

_C = sre_parse  # the opcodes live beside the parser
try:
    from re import _constants as _K
except ImportError:
    import sre_constants as _K

_CATEGORY_SAMPLES = {
    "CATEGORY_DIGIT": "0123456789\u0663", "CATEGORY_NOT_DIGIT": "ax -_\u00e9", "CATEGORY_SPACE": " \t\n\xa0",
    "CATEGORY_NOT_SPACE": "az09_-\u00e9", "CATEGORY_WORD": "azAZ09_\u00e9\u0130", "CATEGORY_NOT_WORD": " -.:@\n",
}


def sample(pattern: re.Pattern, rng: random.Random, limit: int = 300) -> str:
    """A string shaped as the pattern's matches (assertions ignored, so it
    may not match: the tests compare with re, they do not expect hits)."""
    out: list[str] = []

    def category(name: str) -> str:
        for key, chars in _CATEGORY_SAMPLES.items():
            if name.endswith(key.removeprefix("CATEGORY_")):
                return rng.choice(chars)
        return "a"

    def one_of_set(items) -> str:
        choices: list[str] = []
        negate = False
        for op, av in items:
            name = str(op)
            if name == "NEGATE":
                negate = True
            elif name == "LITERAL":
                choices.append(chr(av))
            elif name == "RANGE":
                lo, hi = av
                choices.append(chr(rng.randint(lo, min(hi, lo + 200))))
            elif name == "CATEGORY":
                choices.append(category(str(av)))
        if negate or not choices:
            return rng.choice("zq!~ ")
        return rng.choice(choices)

    def walk(items, budget) -> None:
        for op, av in items:
            if len(out) > limit:
                return
            name = str(op)
            if name == "LITERAL":
                out.append(chr(av))
            elif name == "NOT_LITERAL":
                out.append("z" if av != ord("z") else "y")
            elif name == "ANY":
                out.append(rng.choice("ab1 -"))
            elif name == "IN":
                out.append(one_of_set(av))
            elif name == "CATEGORY":
                out.append(category(str(av)))
            elif name == "BRANCH":
                walk(rng.choice(av[1]).data, budget)
            elif name == "SUBPATTERN":
                walk(av[-1].data, budget)
            elif name in ("MAX_REPEAT", "MIN_REPEAT", "POSSESSIVE_REPEAT"):
                lo, hi, body = av
                hi = min(hi, lo + 4, budget)
                for _ in range(rng.randint(min(lo, budget), max(min(lo, budget), hi))):
                    walk(body.data, budget // 2)
            elif name == "ATOMIC_GROUP":
                walk(av.data, budget)
            # assertions, lookarounds and group references add nothing

    walk(sre_parse.parse(pattern.pattern, pattern.flags).data, 60)
    return "".join(out)


def planted_text(table, size: int, seed: int, hits: int, prose: str) -> str:
    """`prose` cut to about `size` characters, with samples of `hits`
    randomly chosen rules of the table put at random places."""
    rng = random.Random(seed)
    text = (prose * (size // max(1, len(prose)) + 1))[:size]
    patterns = list(table.values())
    for _ in range(hits):
        at = rng.randrange(len(text) + 1)
        text = text[:at] + " " + sample(rng.choice(patterns), rng) + " " + text[at:]
    return text
