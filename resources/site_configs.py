# Tesmora site backup: the readers of the sites' configuration files. The
# client joins this text before the backup program into one program, so
# these definitions are the backup program's own: it calls is_config for
# each file it walks and find_site_databases with those that it accepted.
# Nothing here runs a site's code; every value is read as text.
import collections
import os
import re
import urllib.parse

CONFIG_NAMES = ("wp-config.php", ".env")
ENGINES = {"mysql": "mysql", "mariadb": "mysql", "pgsql": "postgresql",
           "postgres": "postgresql", "postgresql": "postgresql"}
ENGINE_NAMES = {"mysql": "MySQL/MariaDB", "postgresql": "PostgreSQL"}
WARN_CONFIG = "Database settings are not plain values, so not read: "
PHP_TOKEN = re.compile(r"//[^\n]*|#[^\n]*|/\*.*?(?:\*/|\Z)|"
                       r"'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\"|[^'\"/#]+|/",
                       re.S)
PHP_DEFINE = re.compile(r"\bdefine\s*\(\s*(['\"])(DB_NAME|DB_USER|DB_PASSWORD"
                        r"|DB_HOST)\1\s*,\s*")
PHP_LITERAL = re.compile(r"'((?:[^'\\]|\\.)*)'\s*\)|"
                         r"\"((?:[^\"\\$]|\\.)*)\"\s*\)", re.S)
PHP_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "v": "\v", "e": "\x1b",
               "f": "\f", "\\": "\\", "$": "$", '"': '"'}
ENV_LINE = re.compile(r"\s*(?:export\s+)?([A-Za-z_][A-Za-z0-9_.]*)\s*=[ \t]*"
                      r"(.*)")


class Database:
    """One database to dump, where it was named, and how to reach it; no
    credentials means the SSH user's own access."""

    def __init__(self, engine, name, source, user=None, password=None,
                 host=None, port=None, socket=None):
        self.engine, self.name, self.source = engine, name, source
        self.user, self.password = user or None, password
        local = host in (None, "", "localhost") and not port and not socket
        self.host = None if local else host or "localhost"
        self.port, self.socket = (str(port) if port else None), socket or None

    def key(self):
        return (self.engine, self.host, self.port, self.socket, self.name)

    def named(self):
        return "%s database %s (named in %s)" % (
            ENGINE_NAMES[self.engine], self.name, self.source)


def php_string(match):
    if match.group(1) is not None:
        return re.sub(r"\\([\\'])", r"\1", match.group(1))

    def one(escape):
        e = escape.group(1)
        if e in PHP_ESCAPES:
            return PHP_ESCAPES[e]
        if e[0] == "x" and len(e) > 1:
            return chr(int(e[1:], 16))
        if e[0] == "u" and len(e) > 1:
            return chr(int(e[2:-1], 16))
        if e[0] in "01234567":
            return chr(int(e, 8) & 255)
        return "\\" + e
    return re.sub(r"\\(x[0-9A-Fa-f]{1,2}|u\{[0-9A-Fa-f]+\}|[0-7]{1,3}|.)",
                  one, match.group(2), flags=re.S)


def php_defines(text):
    """The DB_ constants a PHP file defines as literal strings, and whether
    any of them is defined otherwise (computed, or interpolated)."""
    code = "".join(" " if t[:1] == "#" or t[:2] in ("//", "/*") else t
                   for t in PHP_TOKEN.findall(text))
    values, computed = {}, False
    for define in PHP_DEFINE.finditer(code):
        literal = PHP_LITERAL.match(code, define.end())
        if literal:
            values.setdefault(define.group(2), php_string(literal))
        else:
            computed = True
    return values, computed


def mysql_address(value):
    """(host, port, socket) of a WordPress DB_HOST."""
    host, _, rest = value.strip().partition(":")
    if host.startswith("["):  # [::1]:3306
        host, _, rest = value.strip()[1:].partition("]")
        rest = rest[1:]
    if rest.startswith("/"):
        return host or "localhost", None, rest
    return host or "localhost", rest if rest.isdigit() else None, None


def wordpress(path, text, warnings):
    values, computed = php_defines(text)
    if computed or "DB_NAME" not in values:
        warnings.append(WARN_CONFIG + path)
        return []
    host, port, socket = mysql_address(values.get("DB_HOST", "localhost"))
    return [Database("mysql", values["DB_NAME"], path, values.get("DB_USER"),
                     values.get("DB_PASSWORD", ""), host, port, socket)]


def dotenv(text):
    """KEY=value pairs as dotenv parsers read them."""
    values, lines = {}, text.splitlines()
    while lines:
        line = ENV_LINE.match(lines.pop(0))
        if not line:
            continue
        key, rest = line.groups()
        quote = rest[:1]
        if quote in ("'", '"'):
            body = rest[1:]
            while True:
                end = re.match(r"'[^']*'" if quote == "'" else
                               r'"(?:[^"\\]|\\.)*"', quote + body, re.S)
                if end or not lines:
                    break
                body += "\n" + lines.pop(0)
            value = end.group(0)[1:-1] if end else body
            if quote == '"':
                value = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r",
                               "t": "\t"}.get(m.group(1), m.group(1)),
                               value, flags=re.S)
        else:
            value = re.split(r"(?:^|\s)#", rest, maxsplit=1)[0].strip()
        if quote != "'":
            value = re.sub(r"\$\{(\w+)\}",
                           lambda m: values.get(m.group(1), ""), value)
        values[key] = value
    return values


def database_url(url, path):
    parts = urllib.parse.urlsplit(url)
    engine = ENGINES.get(parts.scheme.split("+")[0].lower())
    name = urllib.parse.unquote(parts.path.lstrip("/"))
    if not engine or not name:
        return []
    query = urllib.parse.parse_qs(parts.query)
    socket = (query.get("unix_socket") or query.get("socket") or
              [h for h in query.get("host", []) if h.startswith("/")] or
              [None])[0]
    unquote = lambda v: None if v is None else urllib.parse.unquote(v)
    return [Database(engine, name, path, unquote(parts.username),
                     unquote(parts.password), unquote(parts.hostname),
                     parts.port, socket)]


def laravel(path, text, warnings):
    values = dotenv(text)
    url = values.get("DATABASE_URL") or values.get("DB_URL")
    if url:
        return database_url(url, path)
    engine = ENGINES.get(values.get("DB_CONNECTION", "").lower())
    if not engine or not values.get("DB_DATABASE"):
        return []
    return [Database(engine, values["DB_DATABASE"], path,
                     values.get("DB_USERNAME"), values.get("DB_PASSWORD", ""),
                     values.get("DB_HOST"), values.get("DB_PORT"),
                     values.get("DB_SOCKET"))]


def is_config(path):
    return os.path.basename(path) in CONFIG_NAMES and os.path.isfile(path)


def find_site_databases(configs, warnings):
    """The databases that the configuration files name, in their order."""
    found = []
    for path in sorted(configs):
        try:
            with open(path, "rb") as source:
                text = source.read(1 << 20).decode("utf-8", "surrogateescape")
        except OSError as error:
            raise unreadable(path, error)
        parse = wordpress if path.endswith(".php") else laravel
        found += parse(path, text, warnings)
    return found
