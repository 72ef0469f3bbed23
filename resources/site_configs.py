# Tesmora site backup: the readers of the sites' configuration files. The
# client joins this text before the backup program into one program, so
# these definitions are the backup program's own: it calls is_config for
# each file it walks, find_site_databases with those that it accepted and
# database_hints with what that found. Nothing here runs a site's code:
# PHP is tokenized and only literal values, the constants and variables
# they make and the includes they name are followed; Python settings are
# read with ast. A value that needs the site's code to be known is never
# guessed: its database is left out with a warning.
import ast
import collections
import glob
import ipaddress
import os
import re
import socket as net
import urllib.parse

ENGINES = {"mysql": "mysql", "mariadb": "mysql", "mysqli": "mysql",
           "pdomysql": "mysql", "pdo_mysql": "mysql", "mysql4": "mysql",
           "mpdo": "mysql", "pdo": "mysql", "mysqlconnection": "mysql",
           "mysqliconnection": "mysql", "pgsql": "postgresql",
           "postgres": "postgresql", "postgresql": "postgresql",
           "postgresql_psycopg2": "postgresql", "postgis": "postgresql",
           "pgsqlconnection": "postgresql", "pdopgsql": "postgresql",
           "pgconnection": "postgresql"}
# Files the walk already copies, or no server at all: nothing to dump.
FILE_ENGINES = ("sqlite", "sqlite3", "spatialite", "")
ENGINE_NAMES = {"mysql": "MySQL/MariaDB", "postgresql": "PostgreSQL"}
DEFAULT_PORTS = {"mysql": "3306", "postgresql": "5432"}
WARN_CONFIG = "Database settings are not plain values, so not read: "
WARN_KEY = ("Database setting is not a plain value, so its database is not "
            "dumped: ")
WARN_ENGINE = ("Database is neither MySQL/MariaDB nor PostgreSQL, so not "
               "dumped: ")
WARN_OUTSIDE = "Cannot read database settings outside the selected folders: "
WARN_HOST = ("Database host is not known on this server (a container's "
             "name?), so not dumped: ")
WARN_SERVER = ("A %s server runs on this server, but no site configuration "
               "in %s names a database; to back one up, add an entry like "
               "%s:NAME to \u00abБазы данных\u00bb in the settings window")
# Debian's wordpress package keeps each site's settings here.
WORDPRESS_ETC = "/etc/wordpress"
MYSQL_SOCKETS = ("/run/mysqld/mysqld.sock", "/var/run/mysqld/mysqld.sock",
                 "/tmp/mysql.sock", "/var/lib/mysql/mysql.sock")
POSTGRESQL_SOCKETS = ("/run/postgresql/.s.PGSQL.5432",
                      "/var/run/postgresql/.s.PGSQL.5432", "/tmp/.s.PGSQL.*")
SERVER_PORTS = {3306: "mysql", 5432: "postgresql"}
SERVER_PROCESSES = {"mysqld": "mysql", "mariadbd": "mysql",
                    "postgres": "postgresql", "postmaster": "postgresql"}
# The names config_kind looks at further; any other file is none.
CONFIG_NAMES = frozenset((
    "wp-config.php", "wp-settings.php", ".settings.php", ".settings_extra.php",
    "dbconn.php", "configuration.php", "settings.php", "settings.local.php",
    "config.core.php", "config.inc.php", "default.php", "config.php",
    "settings.inc.php", "parameters.php", "env.php"))
CONFIG_LIMIT = 1 << 20
READER_ERRORS = (ValueError, TypeError, KeyError, IndexError,
                 AttributeError, RecursionError, UnicodeError)
INCLUDE_DEPTH = 8
# Folders of libraries, whose settings files belong to no site.
LIBRARY_FOLDERS = ("vendor", "node_modules", "site-packages",
                   "dist-packages", ".git")
# Django settings modules that no live site runs with.
DJANGO_SKIPPED = re.compile(r"(?:test|tests|testing|ci|dev|development)"
                            r"(?:_settings)?\.py$")
ENV_LINE = re.compile(r"\s*(?:export\s+)?([A-Za-z_][A-Za-z0-9_.]*)\s*=[ \t]*"
                      r"(.*)")
PHP_LEX = re.compile(r"""
 (?P<ws>\s+)
|(?P<close>\?>\n?)
|(?P<comment>(?://|\#)[^\n?]*(?:\?(?!>)[^\n?]*)*|/\*.*?(?:\*/|\Z))
|'(?P<single>(?:[^'\\]|\\.)*)(?:'|\Z)
|"(?P<double>(?:[^"\\]|\\.)*)(?:"|\Z)
|<<<[ \t]*(?P<quote>["']?)(?P<label>[A-Za-z_\x80-\uffff][\w\x80-\uffff]*)
 (?P=quote)\r?\n
|(?P<number>0[xX][0-9a-fA-F_]+|0[bB][01_]+|0[oO]?[0-7_]+(?![.\deE])
 |(?:\d[\d_]*(?:\.[\d_]*)?|\.\d[\d_]*)(?:[eE][+-]?\d+)?)
|\$(?P<variable>[A-Za-z_\x80-\uffff][\w\x80-\uffff]*)
|\\?(?P<name>[A-Za-z_\x80-\uffff][\w\x80-\uffff]*
 (?:\\[A-Za-z_\x80-\uffff][\w\x80-\uffff]*)*)
|(?P<op>===|!==|<=>|\*\*=|\.\.\.|<<=|>>=|\?\?=|\?->|==|!=|<>|<=|>=|&&
 |\|\||\?\?|->|=>|::|\.=|\+=|-=|\*=|/=|%=|\|=|&=|\^=|\+\+|--|<<|>>|\*\*|.)
""", re.S | re.X)
PHP_OPEN = re.compile(r"<\?(?:php(?![\w])|=|(?=\s))", re.I)
PHP_ESCAPE = re.compile(r"\\(x[0-9A-Fa-f]{1,2}|u\{[0-9A-Fa-f]+\}|[0-7]{1,3}|"
                        r".)|(\$(?=[A-Za-z_\x80-\uffff{])|\{\$)", re.S)
PHP_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "v": "\v", "e": "\x1b",
               "f": "\f", "\\": "\\", "$": "$"}
PHP_PRECEDENCE = {
    "or": 1, "xor": 2, "and": 3, "?": 5, "??": 6, "||": 7, "&&": 8,
    "|": 9, "^": 10, "&": 11, "==": 12, "!=": 12, "===": 12, "!==": 12,
    "<>": 12, "<=>": 12, "<": 13, "<=": 13, ">": 13, ">=": 13, ".": 14,
    "<<": 15, ">>": 15, "+": 16, "-": 16, "*": 17, "/": 17, "%": 17,
    "instanceof": 18, "**": 19}
PHP_ASSIGN = ("=", ".=", "+=", "-=", "*=", "/=", "%=", "??=", "**=", "|=",
              "&=", "^=", "<<=", ">>=")
PHP_MODIFIERS = ("public", "protected", "private", "var", "static",
                 "readonly", "final", "abstract")
PHP_INCLUDES = ("include", "include_once", "require", "require_once")
PHP_CONSTANTS = {"DIRECTORY_SEPARATOR": "/", "PHP_EOL": "\n",
                 "PATH_SEPARATOR": ":"}


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
        # The server's own port is no other server.
        port = None if self.port == DEFAULT_PORTS[self.engine] else self.port
        local = self.host in (None, "localhost") and not port
        return (self.engine, None if local else self.host, port,
                self.socket, self.name)

    def named(self):
        return "%s database %s (named in %s)" % (
            ENGINE_NAMES[self.engine], self.name, self.source)


class Unknown:
    """A value that only the site's own code could tell."""

    def __repr__(self):
        return "UNKNOWN"


UNKNOWN = Unknown()


def known(*values):
    return not any(value is UNKNOWN for value in values)


def address(engine, host, port=None, socket=None):
    """(host, port, socket) from every form a site writes its database's
    host in: localhost, host:port, host:/socket, :/socket, unix:/socket,
    p:host (a persistent connection), [v6]:port, a bare v6 address, a
    socket path, or a DSN such as mysql:host=x;port=3307;dbname=y. A port
    or socket given on its own wins over one inside the host."""
    host = ("" if host is None else str(host)).strip()
    found_port = found_socket = None
    if "=" in host:
        fields = dsn(host)
        host = fields.get("host", "")
        found_port, found_socket = fields.get("port"), fields.get(
            "unix_socket")
    if host[:2].lower() == "p:":
        host = host[2:]
    if host[:5].lower() == "unix:":
        host, found_socket = "", host[5:]
    elif host.startswith("/"):
        host, found_socket = "", host
    elif host.startswith("["):
        host, _, rest = host[1:].partition("]")
        found_port = rest[1:] or found_port
    elif host.count(":") == 1:
        host, _, rest = host.partition(":")
        if rest.startswith("/"):
            found_socket = rest
        else:
            found_port = rest or found_port
    port = str(port).strip() if port not in (None, "", 0) else found_port
    socket = socket or found_socket or None
    if engine == "postgresql" and socket:
        # libpq takes the socket's folder; a socket file names its port.
        folder, _, tail = socket.rstrip("/").rpartition("/.s.PGSQL.")
        if folder and tail.isdigit():
            socket, port = folder, port or tail
    if port and not str(port).isdigit():
        port = None
    return host or "localhost", port or None, socket


def dsn(text):
    """The fields of a PDO DSN: mysql:host=x;port=3307;dbname=y."""
    _, _, body = text.partition(":") if re.match(r"\w+:", text) else (
        "", "", text)
    fields = {}
    for part in body.split(";"):
        key, equals, value = part.partition("=")
        if equals:
            fields[key.strip().lower()] = value.strip()
    return fields


FIELDS = ("user", "password", "host", "port", "socket")


def database(path, warnings, values, names, engine="mysql", label="%s"):
    """The Database that a system's settings name, or none with the warning
    that says why. names maps each field (engine, name, user, password,
    host, port, socket) to its key in values; engine is the system's own
    default; label % key is how the warnings name a setting."""
    named = lambda field: label % names.get(field, field)
    value = lambda field: values.get(names[field]) if field in names \
        else None
    if "engine" in names and names["engine"] in values:
        engine = values[names["engine"]]
    name = values.get(names["name"])
    engine_key = named("engine")
    if engine is UNKNOWN:
        warnings.append(WARN_KEY + "%s in %s" % (engine_key, path))
        return []
    word = str(engine or "").strip().lower()
    word = word.rpartition("\\")[2].rpartition(".")[2]
    if word not in ENGINES:
        if word.rstrip("0123456789") not in FILE_ENGINES and not \
                word.startswith("sqlite"):
            warnings.append(WARN_ENGINE + "%s (%s in %s)" % (
                engine, engine_key, path))
        return []
    engine = ENGINES[word]
    if name is UNKNOWN or not isinstance(name, (str, int)) or \
            isinstance(name, bool):
        if name not in (None, ""):
            warnings.append(WARN_CONFIG + path)
        return []
    if name == "":
        return []
    fields = collections.OrderedDict((f, value(f)) for f in FIELDS)
    for field, given in fields.items():
        if given is UNKNOWN or isinstance(given, (dict, list)):
            warnings.append(WARN_KEY + "%s in %s" % (named(field), path))
            return []
        if given is False:
            fields[field] = None
        elif given is not None and not isinstance(given, str):
            fields[field] = str(given)
    host, port, socket = address(engine, fields["host"], fields["port"],
                                 fields["socket"])
    return [Database(engine, str(name), path, fields["user"],
                     fields["password"] or "", host, port, socket)]


# PHP ---------------------------------------------------------------------

def php_double(body, heredoc=False):
    """A double-quoted or heredoc PHP string's value; None when it
    interpolates a variable."""
    try:
        def one(match):
            if match.group(2):
                raise ValueError
            e = match.group(1)
            if e in PHP_ESCAPES:
                return PHP_ESCAPES[e]
            if e == '"' and not heredoc:
                return '"'
            if e[0] == "x" and len(e) > 1:
                return php_byte(int(e[1:], 16))
            if e[0] == "u" and len(e) > 1:
                return chr(int(e[2:-1], 16))
            if e[0] in "01234567":
                return php_byte(int(e, 8) & 255)
            return "\\" + e
        text = PHP_ESCAPE.sub(one, body)
    except ValueError:
        return None
    # Escaped bytes join into the characters they spell.
    return text.encode("utf-8", "surrogateescape").decode(
        "utf-8", "surrogateescape")


def php_byte(value):
    return chr(value) if value < 128 else chr(0xDC00 + value)


def php_tokens(text):
    """The tokens of PHP code as (kind, value): "s" a string (None when it
    interpolates), "n" a number, "v" a variable, "w" a name, "o" anything
    else; ?> ends a statement. Text outside <?php ... ?> is left out."""
    tokens, at, end = [], 0, len(text)
    while at < end:
        opening = PHP_OPEN.search(text, at)
        if not opening:
            break
        at = opening.end()
        if opening.group(0) == "<?=":
            tokens.append(("w", "echo"))
        while at < end:
            match = PHP_LEX.match(text, at)
            at = match.end()
            kind = match.lastgroup
            if kind in ("ws", "comment"):
                continue
            if kind == "close":
                tokens.append(("o", ";"))
                break
            if kind == "single":
                tokens.append(("s", re.sub(r"\\([\\'])", r"\1",
                                           match.group("single"))))
            elif kind == "double":
                tokens.append(("s", php_double(match.group("double"))))
            elif kind == "label":
                label = re.escape(match.group("label"))
                close = re.compile(r"^([ \t]*)%s(?![\w\x80-\uffff])" % label,
                                   re.M).search(text, at)
                stop = close.start() if close else end
                body = text[at:stop]
                body = body[:-2] if body.endswith("\r\n") else body[:-1] \
                    if body.endswith("\n") else body
                if close and close.group(1):
                    body = re.sub("^" + re.escape(close.group(1)), "", body,
                                  flags=re.M)
                at = close.end() if close else end
                tokens.append(("s", body if match.group("quote") == "'"
                               else php_double(body, heredoc=True)))
            elif kind == "number":
                tokens.append(("n", php_number(match.group("number"))))
            elif kind == "variable":
                tokens.append(("v", match.group("variable")))
            elif kind == "name":
                tokens.append(("w", match.group("name")))
            else:
                tokens.append(("o", match.group("op")))
    return tokens


def php_number(text):
    text = text.replace("_", "").lower()
    try:
        if text[:2] in ("0x", "0b", "0o"):
            return int(text[2:], {"x": 16, "b": 2, "o": 8}[text[1]])
        if re.match(r"0[0-7]+$", text):
            return int(text, 8)
        return float(text) if re.search(r"[.e]", text) else int(text)
    except ValueError:
        return UNKNOWN


class PhpState:
    """What PHP files define as they run one after another: constants,
    global variables, classes' property defaults, where each came from."""

    def __init__(self, environ=None, follow=None):
        self.constants, self.variables, self.classes = {}, {}, {}
        self.origin = {}
        # Code that was not followed may have set anything not yet set.
        self.lost = False
        self.included = set()
        self.environ = {} if environ is None else environ
        self.follow = follow or (lambda path: True)
        self.depth = 0
        # An include whose path only a request could tell was read already.
        self.seeded = False
        self.outside = []  # (path, error) of includes that could not be read


class PhpSyntax(Exception):
    pass


class PhpReturn(Exception):
    def __init__(self, value):
        Exception.__init__(self)
        self.value = value


class PhpExit(Exception):
    pass


def php_mapped(path):
    """A path as this server holds it: Debian's /etc/wordpress may be
    elsewhere."""
    if path.startswith("/etc/wordpress/"):
        return os.path.join(WORDPRESS_ETC, path[len("/etc/wordpress/"):])
    return path


def read_text(path):
    with open(path, "rb") as source:
        return source.read(CONFIG_LIMIT).decode("utf-8", "surrogateescape")


def php_truth(value):
    if value is UNKNOWN:
        return UNKNOWN
    if isinstance(value, str):
        return value not in ("", "0")
    return bool(value)


def php_text(value):
    if value is True:
        return "1"
    if value is None or value is False:
        return ""
    if isinstance(value, float) and value == int(value) and \
            abs(value) < 1e15:
        return str(int(value))
    if isinstance(value, (str, int, float)):
        return str(value)
    return UNKNOWN


def php_key(key):
    if isinstance(key, bool):
        return int(key)
    if key is None:
        return ""
    if isinstance(key, float):
        return int(key)
    if isinstance(key, str) and re.match(r"-?[1-9][0-9]*$|0$", key):
        return int(key)
    return key


def php_next_index(array):
    numbers = [k for k in array if isinstance(k, int)]
    return max(numbers) + 1 if numbers else 0


class PhpRun:
    """Runs one PHP file's literal statements against a PhpState: every
    effect happens (certain), is left out (dead: a branch not taken), or
    leaves its target unknown (maybe: a branch on a condition that only the
    site's code could tell)."""

    def __init__(self, state, path, text):
        self.state, self.path = state, path
        self.tokens = php_tokens(text) + [("o", "<end>")]
        self.at, self.dead, self.maybe = 0, 0, 0

    # Token helpers.
    def peek(self, offset=0):
        return self.tokens[min(self.at + offset, len(self.tokens) - 1)]

    def word(self, offset=0):
        kind, value = self.peek(offset)
        return value.lower() if kind == "w" else None

    def is_op(self, value, offset=0):
        return self.peek(offset) == ("o", value)

    def take(self, value=None):
        token = self.peek()
        if token == ("o", "<end>") or value is not None and token != (
                "o", value):
            raise PhpSyntax
        self.at += 1
        return token

    def mode(self, dead=False, maybe=False):
        run = self

        class Mode:
            def __enter__(self):
                run.dead += dead
                run.maybe += maybe

            def __exit__(self, *exc):
                run.dead -= dead
                run.maybe -= maybe
        return Mode()

    # Statements.
    def run(self):
        """The file's returned value (1 if it returns none)."""
        try:
            while not self.is_op("<end>"):
                self.statement()
        except PhpReturn as returned:
            return returned.value
        return 1

    def block_or_statement(self):
        if self.is_op("{"):
            self.take()
            while not self.is_op("}"):
                if self.is_op("<end>"):
                    raise PhpSyntax
                self.statement()
            self.take()
        else:
            self.statement()

    def statement(self):
        start = self.at
        try:
            self.statement_proper()
        except PhpSyntax:
            self.at = start
            self.recover()

    def statement_proper(self):
        word = self.word()
        if self.is_op(";"):
            self.take()
        elif self.is_op("{"):
            self.block_or_statement()
        elif word in ("namespace", "use", "declare", "global", "echo",
                      "print", "unset", "goto", "static", "header"):
            if word == "namespace" and self.tokens_until_block():
                self.take("{")
                while not self.is_op("}"):
                    self.statement()
                self.take()
                return
            self.skip_to_semicolon()
        elif word == "if":
            self.if_statement()
        elif word == "const":
            self.take()
            while True:
                kind, name = self.take()
                self.take("=")
                self.define(name, self.expression())
                if not self.is_op(","):
                    break
                self.take()
            self.end_statement()
        elif word == "return":
            self.take()
            value = None if self.is_op(";") else self.expression()
            self.end_statement()
            if not self.dead and not self.maybe:
                raise PhpReturn(value)
        elif word in ("exit", "die"):
            self.expression()
            self.end_statement()
            if not self.dead and not self.maybe:
                raise PhpExit
        elif word in ("function", "abstract", "final", "class", "readonly",
                      "interface", "trait", "enum") and self.declaration():
            pass
        else:
            self.expression()
            self.end_statement()

    def end_statement(self):
        if not self.is_op("<end>"):
            self.take(";")

    def tokens_until_block(self):
        at = self.at + 1
        while self.tokens[at][0] == "w":
            at += 1
        return self.tokens[at] == ("o", "{")

    def skip_to_semicolon(self):
        depth = 0
        while not self.is_op("<end>"):
            kind, value = self.take()
            if kind == "o" and value in "([{":
                depth += 1
            elif kind == "o" and value in ")]}":
                depth -= 1
            elif value == ";" and depth <= 0:
                return

    def recover(self):
        """Skips a statement this reader does not follow (a loop, a
        function's body); whatever it assigns becomes unknown."""
        start, depth = self.at, 0
        while not self.is_op("<end>"):
            kind, value = self.peek()
            if kind == "o" and value in ("(", "[", "{"):
                depth += 1
            elif kind == "o" and value in (")", "]", "}"):
                if depth == 0:
                    break
                depth -= 1
                if depth == 0 and value == "}":
                    self.at += 1
                    break
            elif kind == "o" and value == ";" and depth == 0:
                self.at += 1
                break
            self.at += 1
        if self.at == start:
            self.at += 1  # a stray closing bracket
        if not self.dead:
            self.taint(self.tokens[start:self.at])

    def taint(self, tokens):
        for at, (kind, value) in enumerate(tokens):
            if kind == "v":
                after, depth = at + 1, 0
                while after < len(tokens):
                    token = tokens[after]
                    if token[1] in ("[", "(") and token[0] == "o":
                        depth += 1
                    elif token[1] in ("]", ")") and token[0] == "o":
                        depth -= 1
                    elif depth == 0:
                        break
                    after += 1
                if after < len(tokens) and tokens[after][0] == "o" and \
                        tokens[after][1] in PHP_ASSIGN + ("++", "--"):
                    self.state.variables[value] = UNKNOWN
            elif kind == "w" and value.lower() == "define" and \
                    tokens[at + 1:at + 3] and tokens[at + 2:at + 3] and \
                    tokens[at + 2][0] == "s" and tokens[at + 2][1]:
                self.state.constants.setdefault(tokens[at + 2][1], UNKNOWN)

    def declaration(self):
        while self.word() in ("abstract", "final", "readonly"):
            self.take()
        word = self.word()
        if word == "function":
            self.take()
            self.skip_function()
            return True
        if word != "class":
            self.skip_to_block()
            return True
        self.take()
        kind, name = self.take()
        if kind != "w":
            raise PhpSyntax
        while not self.is_op("{"):
            self.take()
        self.take()
        properties = {}
        while not self.is_op("}"):
            if self.is_op("<end>"):
                raise PhpSyntax
            self.member(properties)
        self.take()
        if not self.dead:
            self.state.classes[name.lower()] = {
                k: UNKNOWN if self.maybe else v
                for k, v in properties.items()}
        return True

    def member(self, properties):
        start = self.at
        try:
            while self.word() in PHP_MODIFIERS:
                self.take()
            if self.word() == "function":
                self.take()
                self.skip_function()
                return
            if self.word() in ("const", "use", "case"):
                self.skip_to_semicolon()
                return
            while self.peek()[0] != "v":  # a type
                if self.is_op(";") or self.is_op("}"):
                    raise PhpSyntax
                self.take()
            while True:
                kind, name = self.take()
                if kind != "v":
                    raise PhpSyntax
                properties[name] = self.expression(4) if self.is_op("=") \
                    and self.take() else None
                if not self.is_op(","):
                    break
                self.take()
            self.take(";")
        except PhpSyntax:
            self.at = start
            with self.mode(dead=True):
                self.recover()

    def skip_balanced(self, opening):
        closing = {"(": ")", "[": "]", "{": "}"}[opening]
        self.take(opening)
        depth = 1
        while depth:
            kind, value = self.take()
            if kind == "o" and value == opening:
                depth += 1
            elif kind == "o" and value == closing:
                depth -= 1

    def skip_function(self):
        """A function or method after its keyword: its name, parameters,
        return type and body, or the ; of an abstract one."""
        while not self.is_op("("):
            self.take()
        self.skip_balanced("(")
        while not self.is_op("{") and not self.is_op(";"):
            self.take()
        if self.is_op("{"):
            self.skip_balanced("{")
        else:
            self.take()

    def skip_to_block(self):
        while not self.is_op("{"):
            self.take()
        self.skip_balanced("{")

    def if_statement(self):
        taken = uncertain = alternative = final = False
        while not final:
            word = self.word()
            if word in ("if", "elseif") or (word == "else" and
                                            self.word(1) == "if"):
                self.take()
                if word == "else":
                    self.take()
                self.take("(")
                with self.mode(dead=taken):
                    condition = php_truth(self.expression())
                self.take(")")
            elif word == "else":
                self.take()
                condition, final = True, True
            else:
                break
            if taken:
                dead, maybe = True, False
            elif condition is UNKNOWN or uncertain:
                dead, maybe = condition is False, condition is not False
            else:
                dead, maybe = condition is False, False
            with self.mode(dead=dead, maybe=maybe):
                if self.is_op(":"):
                    self.take()
                    alternative = True
                    while self.word() not in ("elseif", "else", "endif"):
                        if self.is_op("<end>"):
                            raise PhpSyntax
                        self.statement()
                else:
                    self.block_or_statement()
            uncertain = uncertain or maybe
            taken = taken or condition is True
        if alternative and self.word() == "endif":
            self.take()
            self.end_statement()

    # Effects.
    def define(self, name, value):
        if self.dead or not isinstance(name, str):
            return
        constants = self.state.constants
        if constants.get(name, UNKNOWN) is not UNKNOWN:
            return  # a constant keeps its first value
        if name not in constants or self.maybe == 0:
            constants[name] = UNKNOWN if self.maybe else value
            self.state.origin[("c", name)] = self.path

    def assign(self, name, path, operator, value):
        if self.dead:
            return value
        variables = self.state.variables
        if name in ("GLOBALS",) and path and isinstance(path[0], str):
            name, path = path[0], path[1:]
        if operator != "=":
            current = self.read(name, path)
            value = self.combine(operator, current, value)
        if self.maybe:
            value = UNKNOWN
        self.state.origin[("v", name)] = self.path
        if not path:
            variables[name] = value
            return value
        if not isinstance(variables.get(name), dict):
            if variables.get(name) is UNKNOWN or name in variables and \
                    variables[name] is not None:
                variables[name] = UNKNOWN
                return value
            variables[name] = {}
        container = variables[name]
        for index, key in enumerate(path):
            if key is UNKNOWN:
                variables[name] = UNKNOWN
                return value
            key = php_next_index(container) if key is None else php_key(key)
            if index == len(path) - 1:
                container[key] = value
            else:
                if not isinstance(container.get(key), dict):
                    if container.get(key) is not None:
                        container[key] = UNKNOWN
                        return value
                    container[key] = {}
                container = container[key]
        return value

    def combine(self, operator, current, value):
        if operator == "??=":
            return value if current is None else current
        return self.binary(operator[:-1], current, value)

    def read(self, name, path):
        state = self.state
        if name in ("_SERVER", "_ENV") and path:
            key = path[0]
            if key is UNKNOWN:
                return UNKNOWN
            if key in state.environ:
                value = state.environ[key]
            else:
                return UNKNOWN if name == "_SERVER" else None
            path = path[1:]
        elif name in state.variables:
            value = state.variables[name]
        else:
            return UNKNOWN if state.lost else None
        for key in path:
            if value is UNKNOWN or key is UNKNOWN or key is None:
                return UNKNOWN
            if not isinstance(value, dict):
                return UNKNOWN if isinstance(value, str) else None
            value = value.get(php_key(key))
        return value

    def include(self, word, target):
        if self.dead:
            return UNKNOWN
        state = self.state
        if not isinstance(target, str) or not target:
            state.lost = state.lost or not state.seeded
            return UNKNOWN
        path = php_mapped(target)
        if not os.path.isabs(path):
            path = os.path.join(os.path.dirname(self.path), path)
        path = os.path.normpath(path)
        real = os.path.realpath(path)
        if word.endswith("_once") and real in state.included:
            return True
        if not state.follow(path):
            return UNKNOWN
        if not os.path.exists(path):
            return False  # PHP warns, or stops the site: nothing is set
        if state.depth >= INCLUDE_DEPTH:
            state.lost = True
            return UNKNOWN
        try:
            text = read_text(path)
        except OSError as error:
            state.outside.append((path, error))
            state.lost = True
            return UNKNOWN
        state.included.add(real)
        state.depth += 1
        try:
            inner = PhpRun(state, path, text)
            inner.maybe = self.maybe
            value = inner.run()
        finally:
            state.depth -= 1
        return UNKNOWN if self.maybe else value

    # Expressions.
    def expression(self, least=0):
        left = self.unary()
        while True:
            kind, operator = self.peek()
            if kind == "w" and operator.lower() in ("or", "and", "xor",
                                                    "instanceof"):
                operator = operator.lower()
            elif kind != "o":
                break
            precedence = PHP_PRECEDENCE.get(operator)
            if precedence is None or precedence < least:
                break
            self.take()
            if operator == "?":
                left = self.ternary(left)
            elif operator in ("||", "or", "&&", "and", "??"):
                left = self.lazy(operator, left, precedence)
            else:
                right = self.expression(precedence + (operator == "**"
                                                      and 0 or 1))
                left = self.binary(operator, left, right)
        return left

    def lazy(self, operator, left, precedence):
        if operator == "??":
            decided = UNKNOWN if left is UNKNOWN else left is not None
        else:
            truth = php_truth(left)
            decided = truth if truth is UNKNOWN else \
                truth == (operator in ("||", "or"))
        with self.mode(dead=decided is True, maybe=decided is UNKNOWN):
            right = self.expression(precedence + (operator != "??"))
        if operator == "??":
            return left if decided is True else right if decided is False \
                else UNKNOWN
        if decided is True:
            return operator in ("||", "or")
        if decided is False:
            return php_truth(right)
        right = php_truth(right)
        return right if right is (operator in ("||", "or")) else UNKNOWN

    def ternary(self, condition):
        truth = php_truth(condition)
        if self.is_op(":"):
            self.take()
            with self.mode(dead=truth is True, maybe=truth is UNKNOWN):
                other = self.expression(6)
            return condition if truth is True else other \
                if truth is False else UNKNOWN
        with self.mode(dead=truth is False, maybe=truth is UNKNOWN):
            first = self.expression()
        self.take(":")
        with self.mode(dead=truth is True, maybe=truth is UNKNOWN):
            second = self.expression(6)
        return first if truth is True else second if truth is False \
            else UNKNOWN

    def binary(self, operator, left, right):
        if not known(left, right):
            return UNKNOWN
        if operator == ".":
            left, right = php_text(left), php_text(right)
            return left + right if known(left, right) else UNKNOWN
        if operator in ("===", "!=="):
            same = type(left) is type(right) and left == right
            return same if operator == "===" else not same
        if operator in ("==", "!=", "<>") and type(left) is type(right) and \
                not isinstance(left, dict):
            return (left == right) == (operator == "==")
        numbers = all(isinstance(v, (int, float)) and not isinstance(v, bool)
                      for v in (left, right))
        if numbers and operator in ("+", "-", "*"):
            return {"+": left + right, "-": left - right,
                    "*": left * right}[operator]
        return UNKNOWN

    def unary(self):
        kind, value = self.peek()
        if kind == "o" and value == "!":
            self.take()
            truth = php_truth(self.expression(18))
            return UNKNOWN if truth is UNKNOWN else not truth
        if kind == "o" and value in ("-", "+"):
            self.take()
            operand = self.expression(18)
            if isinstance(operand, (int, float)) and not isinstance(operand,
                                                                    bool):
                return -operand if value == "-" else operand
            return UNKNOWN
        if kind == "o" and value in ("@", "&"):
            self.take()
            return self.unary()
        if kind == "o" and value == "(" and self.peek(1)[0] == "w" and \
                self.is_op(")", 2) and self.word(1) in (
                    "string", "int", "integer", "bool", "boolean", "float",
                    "double", "array", "object"):
            cast = self.word(1)
            self.at += 3
            operand = self.unary()
            if cast == "string":
                return php_text(operand)
            return UNKNOWN if not isinstance(operand, str) or \
                cast != "bool" else php_truth(operand)
        if kind == "w" and value.lower() in PHP_INCLUDES:
            self.take()
            target = self.expression(4)
            return self.include(value.lower(), target)
        if kind == "w" and value.lower() in ("new", "clone", "print",
                                              "yield", "throw"):
            self.take()
            with self.mode(dead=True):
                if value.lower() == "new":
                    self.take()
                    if self.is_op("("):
                        self.skip_balanced("(")
                else:
                    self.expression(4)
            return UNKNOWN
        return self.postfix(self.primary())

    def primary(self):
        kind, value = self.take()
        if kind == "s":
            return UNKNOWN if value is None else value
        if kind == "n":
            return value
        if kind == "v":
            return self.variable(value)
        if kind == "o" and value == "(":
            inner = self.expression()
            self.take(")")
            return inner
        if kind == "o" and value == "[":
            return self.array("]")
        if kind != "w":
            raise PhpSyntax
        word = value.lower()
        if word in ("true", "false", "null"):
            return {"true": True, "false": False, "null": None}[word]
        if word == "array" and self.is_op("("):
            self.take()
            return self.array(")")
        if word in ("function", "fn", "static", "match", "list"):
            if word == "static" and self.word() not in ("function", "fn"):
                raise PhpSyntax
            while not self.is_op("(") and not self.is_op("<end>"):
                self.take()
            self.skip_balanced("(")
            if word in ("fn",) or self.is_op("=>"):
                self.take("=>")
                with self.mode(dead=True):
                    self.expression(4)
                return UNKNOWN
            while not self.is_op("{"):
                self.take()
            self.skip_balanced("{")
            return UNKNOWN
        if word == "__dir__":
            return os.path.dirname(self.path)
        if word == "__file__":
            return self.path
        if self.is_op("::"):
            self.take()
            self.take()
            if self.is_op("("):
                self.call("", [])
            return UNKNOWN
        if self.is_op("("):
            return self.call(word, self.arguments())
        if value in self.state.constants:
            return self.state.constants[value]
        if value.upper() in PHP_CONSTANTS:
            return PHP_CONSTANTS[value.upper()]
        return UNKNOWN

    def arguments(self):
        self.take("(")
        found = []
        while not self.is_op(")"):
            if self.peek()[0] == "w" and self.is_op(":", 1):
                self.at += 2  # a named argument
            if self.is_op("..."):
                self.take()
            found.append(self.expression(4))
            if not self.is_op(","):
                break
            self.take()
        self.take(")")
        return found

    def call(self, word, arguments):
        """The value of the few functions whose result the text alone
        gives; any other call is unknown."""
        state = self.state
        first = arguments[0] if arguments else None
        if word == "define" and len(arguments) >= 2:
            self.define(first, arguments[1])
            return True
        if word == "defined" and isinstance(first, str):
            value = state.constants.get(first, None if not state.lost
                                        else UNKNOWN)
            if first not in state.constants:
                return UNKNOWN if state.lost else first in PHP_CONSTANTS
            return UNKNOWN if value is UNKNOWN else True
        if word == "constant" and isinstance(first, str):
            return state.constants.get(first, UNKNOWN)
        if word in ("getenv", "env") and isinstance(first, str):
            if first in state.environ:
                value = state.environ[first]
                if word == "env":
                    value = {"true": True, "(true)": True, "false": False,
                             "(false)": False, "null": None, "(null)": None,
                             "empty": "", "(empty)": ""}.get(value.lower(),
                                                             value)
                return value
            if word == "getenv":
                return False
            return arguments[1] if len(arguments) > 1 else None
        if word in ("file_exists", "is_file", "is_readable", "is_dir") and \
                isinstance(first, str):
            path = php_mapped(first)
            test = {"is_dir": os.path.isdir, "is_file": os.path.isfile,
                    "is_readable": lambda p: os.access(p, os.R_OK)}.get(
                        word, os.path.exists)
            return test(path)
        if word == "dirname" and isinstance(first, str):
            levels = arguments[1] if len(arguments) > 1 else 1
            if not isinstance(levels, int):
                return UNKNOWN
            for _ in range(levels):
                first = os.path.dirname(first.rstrip("/") or "/")
            return first
        if word == "realpath" and isinstance(first, str):
            path = php_mapped(first)
            return os.path.realpath(path) if os.path.exists(path) else False
        if word == "isset":
            return all(a is not None for a in arguments) if known(
                *arguments) else UNKNOWN
        if word == "empty" and arguments:
            truth = php_truth(first)
            return UNKNOWN if truth is UNKNOWN else not truth
        if word in ("strval", "trim") and isinstance(first, (str, int)):
            return str(first).strip() if word == "trim" else str(first)
        if word in ("exit", "die") and not self.dead and not self.maybe:
            raise PhpExit
        return UNKNOWN

    def variable(self, name):
        path = []
        while self.is_op("[") or self.is_op("{"):
            closing = "]" if self.take()[1] == "[" else "}"
            if self.is_op(closing):
                path.append(None)
            else:
                path.append(self.expression())
            self.take(closing)
        kind, operator = self.peek()
        if kind == "o" and operator in PHP_ASSIGN:
            self.take()
            if self.is_op("&"):
                self.take()
            value = self.expression(4)
            if self.peek()[0] == "w" and self.word() in ("or", "and",
                                                          "xor"):
                pass  # $a = x or y: the assignment binds first
            return self.assign(name, path, operator, value)
        if kind == "o" and operator in ("++", "--"):
            self.take()
            if not self.dead:
                self.assign(name, path, "=", UNKNOWN)
            return UNKNOWN
        if kind == "o" and operator in ("->", "?->", "::"):
            return UNKNOWN
        if None in path:
            raise PhpSyntax
        return self.read(name, path)

    def postfix(self, value):
        while True:
            if self.is_op("["):
                self.take()
                key = self.expression()
                self.take("]")
                if isinstance(value, dict) and key is not UNKNOWN:
                    value = value.get(php_key(key))
                else:
                    value = UNKNOWN
            elif self.is_op("->") or self.is_op("?->") or self.is_op("::"):
                self.take()
                self.take()
                value = UNKNOWN
            elif self.is_op("("):
                self.arguments()
                value = UNKNOWN
            else:
                return value

    def array(self, closing):
        items = {}
        while not self.is_op(closing):
            if self.is_op("..."):
                self.take()
                spread = self.expression(4)
                if not isinstance(spread, dict):
                    return self.rest_of_array(closing)
                for key, value in spread.items():
                    items[php_next_index(items) if isinstance(key, int)
                          else key] = value
            else:
                key = self.expression(4)
                if self.is_op("=>"):
                    self.take()
                    if self.is_op("&"):
                        self.take()
                    value = self.expression(4)
                    if key is UNKNOWN or isinstance(key, dict):
                        pass  # a key only the code knows, such as \PDO::X
                    else:
                        items[php_key(key)] = value
                else:
                    items[php_next_index(items)] = key
            if not self.is_op(","):
                break
            self.take()
        self.take(closing)
        return items

    def rest_of_array(self, closing):
        with self.mode(dead=True):
            while not self.is_op(closing):
                self.expression(4)
                if not self.is_op(","):
                    break
                self.take()
        self.take(closing)
        return UNKNOWN


def php_run(path, text=None, state=None, environ=None, follow=None):
    """The PhpState after path's text runs, and the value it returns."""
    state = state or PhpState(environ, follow)
    state.included.add(os.path.realpath(path))
    run = PhpRun(state, path, read_text(path) if text is None else text)
    try:
        returned = run.run()
    except PhpExit:
        returned = None
    except RecursionError:
        state.lost, returned = True, UNKNOWN
    return state, returned


def outside_warnings(state, warnings):
    for path, error in state.outside:
        warnings.append(WARN_OUTSIDE + "%s (%s)" % (
            path, error.strerror or error))


# The systems ---------------------------------------------------------------

def wordpress(path, text, warnings, environ=None):
    """wp-config.php: its DB_ constants, with what it includes. Debian's
    package loader includes /etc/wordpress/config-HOST.php by the host a
    request names: with no request, the one file there, its
    config-default.php, or else each of them."""
    follow = lambda target: os.path.basename(target) != "wp-settings.php"
    state, _ = php_run(path, text, environ=environ, follow=follow)
    if state.constants.get("DB_NAME") is UNKNOWN and \
            "/etc/wordpress/config-" in text:
        choices = sorted(glob.glob(os.path.join(WORDPRESS_ETC,
                                                "config-*.php")))
        default = os.path.join(WORDPRESS_ETC, "config-default.php")
        if len(choices) > 1 and default in choices:
            choices = [default]
        found = []
        for choice in choices:
            seeded = PhpState(environ, follow)
            seeded.seeded = True
            try:
                php_run(choice, state=seeded)
            except OSError as error:
                warnings.append(WARN_OUTSIDE + "%s (%s)" % (
                    choice, error.strerror or error))
                continue
            php_run(path, text, state=seeded)
            found += wordpress_database(path, seeded, warnings)
        if found:
            return found
    outside_warnings(state, warnings)
    return wordpress_database(path, state, warnings)


def wordpress_database(path, state, warnings):
    # A loader that lost track of its includes may define them elsewhere.
    values = dict({"DB_NAME": UNKNOWN, "DB_USER": UNKNOWN if state.lost
                   else None}, **state.constants)
    return database(state.origin.get(("c", "DB_NAME"), path), warnings,
                    values, dict(name="DB_NAME", user="DB_USER",
                                 password="DB_PASSWORD", host="DB_HOST"))


def bitrix(folder, warnings, environ):
    """bitrix/.settings.php's connections, with .settings_extra.php over
    them; an older kernel's php_interface/dbconn.php otherwise."""
    settings = os.path.join(folder, ".settings.php")
    if os.path.isfile(settings):
        _, data = php_run(settings, environ=environ)
        extra = os.path.join(folder, ".settings_extra.php")
        if os.path.isfile(extra) and isinstance(data, dict):
            _, more = php_run(extra, environ=environ)
            if isinstance(more, dict):
                data = dict(data, **{str(k): v for k, v in more.items()})
        if not isinstance(data, dict):
            warnings.append(WARN_CONFIG + settings)
            return []
        connections = data.get("connections")
        if isinstance(connections, dict) and "value" in connections:
            connections = connections["value"]
        if connections is UNKNOWN or not isinstance(connections, dict):
            if connections is not None:
                warnings.append(WARN_CONFIG + settings)
                return []
        else:
            found = []
            for name, c in connections.items():
                if not isinstance(c, dict):
                    warnings.append(WARN_CONFIG + settings)
                    continue
                found += database(settings, warnings, c, dict(
                    engine="className", name="database", user="login",
                    password="password", host="host"), "mysqli")
            return found
    dbconn = os.path.join(folder, "php_interface", "dbconn.php")
    if not os.path.isfile(dbconn):
        return []
    state, _ = php_run(dbconn, environ=environ)
    v = state.variables
    return database(dbconn, warnings, state.variables, dict(
        engine="DBType", name="DBName", user="DBLogin", password="DBPassword",
        host="DBHost"), label="$%s")


def joomla(path, warnings, environ):
    state, _ = php_run(path, environ=environ)
    config = state.classes.get("jconfig")
    if config is None:
        return []
    return database(path, warnings, config, dict(
        engine="dbtype", name="db", user="user", password="password",
        host="host"), "mysqli", "$%s")


def drupal(path, warnings, environ):
    """sites/*/settings.php with what it includes (settings.local.php):
    the default target of each $databases key; Drupal 6's $db_url."""
    site = os.path.dirname(path)
    root = os.path.dirname(os.path.dirname(site))
    state = PhpState(environ)
    state.variables.update(app_root=root, site_path=os.path.relpath(
        site, root))
    state.constants["DRUPAL_ROOT"] = root
    php_run(path, state=state)
    outside_warnings(state, warnings)
    databases = state.variables.get("databases")
    found = []
    if isinstance(databases, dict):
        for key, targets in databases.items():
            target = targets.get("default") if isinstance(targets, dict) \
                else targets
            if isinstance(target, dict) and 0 in target and \
                    "database" not in target:
                target = target[0]
            if not isinstance(target, dict):
                warnings.append(WARN_KEY + "$databases['%s'] in %s" % (
                    key, path))
                continue
            found += database(path, warnings, target, dict(
                engine="driver", name="database", user="username",
                password="password", host="host", port="port",
                socket="unix_socket"), label="$databases[%r]['default'][%%r]"
                % key)
        return found
    if databases is UNKNOWN:
        warnings.append(WARN_KEY + "$databases in %s" % path)
        return []
    urls = state.variables.get("db_url")
    if urls is UNKNOWN:
        warnings.append(WARN_KEY + "$db_url in %s" % path)
        return []
    for url in (urls.values() if isinstance(urls, dict) else [urls]):
        if isinstance(url, str):
            found += database_url(url, path, unquote=urllib.parse.unquote_plus)
    return found


def modx_revolution(path, warnings, environ):
    """core/config/config.inc.php: its variables, the host and port from
    $database_dsn when it has them."""
    state, _ = php_run(path, environ=environ)
    v = state.variables
    if "dbase" not in v and "database_dsn" not in v:
        return []
    fields = dsn(v["database_dsn"]) if isinstance(v.get("database_dsn"),
                                                  str) else {}
    name = fields.get("dbname", v.get("dbase"))
    if isinstance(name, str):
        name = name.strip("`")
    host = v.get("database_server") if "host" not in fields else \
        fields["host"]
    values = dict(v, dbase=name, database_server=host, port=fields.get(
        "port"), unix_socket=fields.get("unix_socket"))
    return database(path, warnings, values, dict(
        engine="database_type", name="dbase", user="database_user",
        password="database_password", host="database_server", port="port",
        socket="unix_socket"), label="$%s")


def modx_core_config(path, warnings, environ):
    """The core's config.inc.php that a site root's config.core.php points
    to, which may be outside the site's folder."""
    state, _ = php_run(path, environ=environ)
    core = state.constants.get("MODX_CORE_PATH")
    key = state.constants.get("MODX_CONFIG_KEY", "config")
    if not isinstance(core, str) or not isinstance(key, str):
        if core is not None:
            warnings.append(WARN_KEY + "MODX_CORE_PATH in %s" % path)
        return None
    return os.path.normpath(os.path.join(os.path.dirname(path), core,
                                         "config", key + ".inc.php"))


def evolution3(path, warnings, environ):
    """core/config/database/connections/default.php of Evolution CMS 3,
    whose env() reads core/custom/.env under the session's environment."""
    core = os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.dirname(path))))
    values = {}
    try:
        values = dotenv(read_text(os.path.join(core, "custom", ".env")))
    except OSError:
        pass
    values.update(environ)
    _, c = php_run(path, environ=values)
    if not isinstance(c, dict):
        warnings.append(WARN_CONFIG + path)
        return []
    return laravel_connection(path, c, warnings)


def laravel_connection(path, c, warnings):
    return database(path, warnings, c, dict(
        engine="driver", name="database", user="username",
        password="password", host="host", port="port", socket="unix_socket"))


def opencart(path, warnings, environ):
    state, _ = php_run(path, environ=environ)
    c = state.constants
    if "DB_DATABASE" not in c:
        return []
    return database(path, warnings, c, dict(
        engine="DB_DRIVER", name="DB_DATABASE", user="DB_USERNAME",
        password="DB_PASSWORD", host="DB_HOSTNAME", port="DB_PORT"), "mysqli")


def prestashop(path, warnings, environ):
    """config/settings.inc.php (1.6) or app/config/parameters.php, whose
    values keep Symfony's %% for each %."""
    state, returned = php_run(path, environ=environ)
    if path.endswith("settings.inc.php"):
        c = state.constants
        if "_DB_NAME_" not in c:
            return []
        return database(path, warnings, c, dict(
            name="_DB_NAME_", user="_DB_USER_", password="_DB_PASSWD_",
            host="_DB_SERVER_"))
    p = returned.get("parameters") if isinstance(returned, dict) else None
    if not isinstance(p, dict):
        if p is not None or returned is UNKNOWN:
            warnings.append(WARN_CONFIG + path)
        return []
    p = {k: v.replace("%%", "%") if isinstance(v, str) else v
         for k, v in p.items()}
    return database(path, warnings, p, {
        field: "database_" + field for field in ("name", "user", "password",
                                                 "host", "port")})


def nextcloud(folder, warnings, environ):
    """config/config.php, then each config/*.config.php over it in name
    order; NC_ variables of the environment over both."""
    merged, source = {}, None
    files = [os.path.join(folder, "config.php")] + sorted(
        glob.glob(os.path.join(folder, "*.config.php")))
    for path in files:
        if not os.path.isfile(path):
            continue
        state, _ = php_run(path, environ=environ)
        config = state.variables.get("CONFIG")
        if config is UNKNOWN:
            warnings.append(WARN_CONFIG + path)
            return []
        if isinstance(config, dict):
            for key, value in config.items():
                merged[key] = value
                if key in ("dbname", "dbtype", "dbhost"):
                    source = path
    if "dbname" not in merged and "dbtype" not in merged:
        return []
    for key in ("dbtype", "dbhost", "dbport", "dbname", "dbuser",
                "dbpassword"):
        if "NC_" + key in environ:
            merged[key] = environ["NC_" + key]
    return database(source, warnings, merged, dict(
        engine="dbtype", name="dbname", user="dbuser", password="dbpassword",
        host="dbhost", port="dbport"), "sqlite3")


def magento(path, warnings, environ):
    _, returned = php_run(path, environ=environ)
    db = returned.get("db") if isinstance(returned, dict) else UNKNOWN
    connections = db.get("connection") if isinstance(db, dict) else UNKNOWN
    if not isinstance(connections, dict):
        warnings.append(WARN_CONFIG + path)
        return []
    found = []
    for name, c in connections.items():
        if not isinstance(c, dict):
            warnings.append(WARN_KEY + "db.connection.%s in %s" % (name, path))
            continue
        found += database(path, warnings, c, dict(
            engine="model", name="dbname", user="username",
            password="password", host="host", port="port"), "mysql4")
    return found


# dotenv: Laravel, Symfony ---------------------------------------------------

def dotenv(text, values=None):
    """KEY=value pairs as dotenv parsers read them, over values."""
    values, lines = dict(values or {}), text.splitlines()
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


def database_url(url, path, unquote=urllib.parse.unquote, warnings=None):
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.split("+")[0].lower()
    engine = ENGINES.get(scheme)
    name = unquote(parts.path.lstrip("/"))
    if not engine:
        if warnings is not None and scheme and not scheme.startswith(
                "sqlite"):
            warnings.append(WARN_ENGINE + "%s (DATABASE_URL in %s)" % (
                scheme, path))
        return []
    if not name:
        return []
    query = urllib.parse.parse_qs(parts.query)
    socket = (query.get("unix_socket") or query.get("socket") or
              [h for h in query.get("host", []) if h.startswith("/")] or
              [None])[0]
    clear = lambda v: None if v is None else unquote(v)
    try:
        port = parts.port
    except ValueError:
        port = None
    host, port, socket = address(engine, clear(parts.hostname), port, socket)
    return [Database(engine, name, path, clear(parts.username),
                     clear(parts.password), host, port, socket)]


def laravel(path, text, warnings, environ=None):
    values = dotenv(text)
    values.update((k, v) for k, v in (environ or {}).items()
                  if k.startswith("DB_") or k in ("DATABASE_URL",))
    url = values.get("DATABASE_URL") or values.get("DB_URL")
    if url:
        return database_url(url, path, warnings=warnings)
    engine = ENGINES.get(values.get("DB_CONNECTION", "").lower())
    if not engine or not values.get("DB_DATABASE"):
        return []
    return [Database(engine, values["DB_DATABASE"], path,
                     values.get("DB_USERNAME"), values.get("DB_PASSWORD", ""),
                     *address(engine, values.get("DB_HOST"),
                              values.get("DB_PORT"),
                              values.get("DB_SOCKET")))]


def symfony(folder, warnings, environ):
    """DATABASE_URL as Symfony's Dotenv loads it: .env.local.php alone if
    there is one, else .env, .env.local, .env.ENV, .env.ENV.local, the
    session's environment over them; with resolve: in doctrine.yaml each %
    of the URL is written %%."""
    compiled = os.path.join(folder, ".env.local.php")
    if os.path.isfile(compiled):
        _, values = php_run(compiled, environ=environ)
        if not isinstance(values, dict):
            warnings.append(WARN_CONFIG + compiled)
            return []
        sources = {key: compiled for key in values}
    else:
        values, sources = {}, {}
        first = os.path.join(folder, ".env")
        if not os.path.isfile(first):
            first += ".dist"
        names = [first]
        env = environ.get("APP_ENV")
        for name in names + [".env.local", None, None]:
            if name is None:
                env = env or values.get("APP_ENV") or "dev"
                name = ".env." + env + (".local" if ".env." + env in [
                    os.path.basename(n) for n in names] else "")
            path = os.path.join(folder, name)
            if path not in names:
                names.append(path)
            if name == ".env.local" and (env or values.get("APP_ENV")) == \
                    "test":
                continue
            try:
                before = dict(values)
                values = dotenv(read_text(path), values)
            except OSError:
                continue
            sources.update((k, path) for k in values if values.get(k) !=
                           before.get(k))
    url = environ.get("DATABASE_URL", values.get("DATABASE_URL"))
    path = "the environment" if "DATABASE_URL" in environ else sources.get(
        "DATABASE_URL")
    if url is None:
        return []
    if not isinstance(url, str):
        warnings.append(WARN_KEY + "DATABASE_URL in %s" % path)
        return []
    try:
        doctrine = read_text(os.path.join(folder, "config", "packages",
                                          "doctrine.yaml"))
    except OSError:
        doctrine = ""
    if "resolve:DATABASE_URL" in doctrine:
        if re.search(r"(?<!%)%(?!%)", url.replace("%%", "")):
            warnings.append(WARN_KEY + "DATABASE_URL in %s" % path)
            return []
        url = url.replace("%%", "%")
    return database_url(url, path, warnings=warnings)


# Django ---------------------------------------------------------------------

class PyName:
    """A module or callable that a settings file imports, by dotted name."""

    def __init__(self, dotted):
        self.dotted = dotted


def py_constant(node):
    kind = type(node).__name__
    if kind == "Constant" or kind == "NameConstant":
        return node.value
    if kind == "Str" or kind == "Bytes":
        return node.s
    if kind == "Num":
        return node.n
    raise KeyError


class PySettings:
    """A Django settings module's module-level names, read with ast."""

    def __init__(self, path, environ, modules=None):
        self.path, self.environ = path, environ
        self.names = {"__file__": path}
        # Each module being read, by its real path: one that imports another
        # which imports it back sees it as far as it ran, as Python does.
        self.modules = modules if modules is not None else {}
        self.imported = set()
        self.modules[os.path.realpath(path)] = self.names

    def run(self, text=None):
        tree = ast.parse(read_text(self.path) if text is None else text,
                         self.path)
        self.body(tree.body, 0)
        return self.names

    def body(self, statements, maybe):
        for statement in statements:
            self.statement(statement, maybe)

    def statement(self, node, maybe):
        kind = type(node).__name__
        if kind in ("Assign", "AnnAssign") and node.value is not None:
            value = UNKNOWN if maybe else self.value(node.value)
            targets = node.targets if kind == "Assign" else [node.target]
            for target in targets:
                self.assign(target, value)
        elif kind == "AugAssign":
            self.assign(node.target, UNKNOWN)
        elif kind == "ImportFrom":
            self.import_from(node, maybe)
        elif kind == "Import":
            for alias in node.names:
                name = alias.asname or alias.name.partition(".")[0]
                self.names[name] = PyName(alias.name if alias.asname
                                          else name)
        elif kind == "If":
            truth = self.truth(self.value(node.test))
            if truth is True and not maybe:
                self.body(node.body, maybe)
            elif truth is False and not maybe:
                self.body(node.orelse, maybe)
            else:
                self.body(node.body, 1)
                self.body(node.orelse, 1)
        elif kind in ("Try", "TryStar"):
            missing = any(type(n).__name__ == "ImportFrom" and
                          self.module_file(n) is None and n.level
                          for n in node.body)
            if missing:
                for handler in node.handlers:
                    self.body(handler.body, maybe)
            else:
                self.body(node.body, maybe)
                self.body(node.orelse, maybe)
            self.body(node.finalbody, maybe)
        elif kind in ("FunctionDef", "AsyncFunctionDef", "ClassDef"):
            self.names[node.name] = UNKNOWN
        else:
            # A loop, a with, a call such as DATABASES["default"].update():
            # whatever it may change is unknown.
            for inner in ast.walk(node):
                if type(inner).__name__ == "Name" and type(
                        inner.ctx).__name__ == "Store":
                    self.names[inner.id] = UNKNOWN
                elif type(inner).__name__ == "Attribute":
                    root = inner.value
                    while type(root).__name__ in ("Subscript", "Attribute"):
                        root = root.value
                    if type(root).__name__ == "Name" and root.id.isupper():
                        self.names[root.id] = UNKNOWN

    def assign(self, target, value):
        kind = type(target).__name__
        if kind == "Name":
            self.names[target.id] = value
            return
        path = []
        while type(target).__name__ == "Subscript":
            path.insert(0, self.value(self.index(target)))
            target = target.value
        if type(target).__name__ != "Name":
            for inner in ast.walk(target):
                if type(inner).__name__ == "Name":
                    self.names[inner.id] = UNKNOWN
            return
        container = self.names.get(target.id)
        for key in path[:-1]:
            container = container.get(key) if isinstance(container, dict) \
                and key is not UNKNOWN else UNKNOWN
        if isinstance(container, dict) and path[-1] is not UNKNOWN:
            container[path[-1]] = value
        else:
            self.names[target.id] = UNKNOWN

    def index(self, node):
        sliced = node.slice
        return sliced.value if type(sliced).__name__ == "Index" else sliced

    def module_file(self, node):
        """The file a from-import names inside the project, or None."""
        parts = (node.module or "").split(".") if node.module else []
        folder = os.path.dirname(self.path)
        if node.level:
            for _ in range(node.level - 1):
                folder = os.path.dirname(folder)
            bases = [folder]
        else:
            bases = [folder, os.path.dirname(folder),
                     os.path.dirname(os.path.dirname(folder))]
        for base in bases:
            stem = os.path.join(base, *parts) if parts else base
            for candidate in (stem + ".py", os.path.join(stem,
                                                         "__init__.py")):
                if parts and os.path.isfile(candidate):
                    return candidate
        return None

    def import_from(self, node, maybe):
        path = self.module_file(node)
        if path is None:
            for alias in node.names:
                if alias.name != "*":
                    self.names[alias.asname or alias.name] = PyName(
                        "%s.%s" % (node.module, alias.name))
            return
        real = os.path.realpath(path)
        self.imported.add(real)
        names = self.modules.get(real)
        if names is None:
            try:
                names = PySettings(path, self.environ, self.modules).run()
            except (OSError, SyntaxError) + READER_ERRORS:
                names = None
        for alias in node.names:
            if alias.name == "*":
                if names is None:
                    self.names["DATABASES"] = UNKNOWN
                    continue
                for key, value in names.items():
                    if not key.startswith("_"):
                        self.names[key] = UNKNOWN if maybe else value
            else:
                self.names[alias.asname or alias.name] = UNKNOWN if (
                    maybe or names is None) else names.get(alias.name,
                                                           UNKNOWN)

    def truth(self, value):
        if value is UNKNOWN or isinstance(value, PyName):
            return UNKNOWN
        return bool(value)

    def value(self, node):
        try:
            return py_constant(node)
        except KeyError:
            pass
        kind = type(node).__name__
        if kind == "Dict":
            keys = [None if k is None else self.value(k) for k in node.keys]
            result = {}
            for key, value in zip(keys, node.values):
                if key is None:
                    spread = self.value(value)
                    if not isinstance(spread, dict):
                        return UNKNOWN
                    result.update(spread)
                elif key is not UNKNOWN:
                    result[key] = self.value(value)
            return result
        if kind in ("List", "Tuple"):
            return [self.value(e) for e in node.elts]
        if kind == "Name":
            return self.names.get(node.id, UNKNOWN)
        if kind == "Subscript":
            container = self.value(node.value)
            key = self.value(self.index(node))
            if isinstance(container, PyName) and container.dotted == \
                    "os.environ" and isinstance(key, str):
                return self.environ.get(key, UNKNOWN)
            if isinstance(container, (dict, list)) and key is not UNKNOWN:
                try:
                    return container[key]
                except (KeyError, IndexError, TypeError):
                    return UNKNOWN
            return UNKNOWN
        if kind == "Attribute":
            base = self.value(node.value)
            if isinstance(base, PyName):
                return PyName(base.dotted + "." + node.attr)
            return UNKNOWN
        if kind == "BinOp" and type(node.op).__name__ == "Add":
            left, right = self.value(node.left), self.value(node.right)
            if isinstance(left, str) and isinstance(right, str):
                return left + right
            return UNKNOWN
        if kind == "BoolOp":
            values = [self.value(v) for v in node.values]
            for value in values:
                if value is UNKNOWN or isinstance(value, PyName):
                    return UNKNOWN
                if bool(value) == (type(node.op).__name__ == "Or"):
                    return value
            return values[-1]
        if kind == "Call":
            return self.call(node)
        return UNKNOWN

    def call(self, node):
        function = self.value(node.func)
        arguments = [self.value(a) for a in node.args]
        keywords = {k.arg: self.value(k.value) for k in node.keywords
                    if k.arg}
        name = function.dotted if isinstance(function, PyName) else ""
        tail = name.rpartition(".")[2]
        if name in ("os.environ.get", "os.getenv") or tail in (
                "config", "str") and name.startswith("decouple") or \
                isinstance(function, PyName) and "Env" in name and tail in (
                    "Env()", "str", "int") or name == "environ.Env()":
            key = arguments[0] if arguments else keywords.get("var")
            default = arguments[1] if len(arguments) > 1 else keywords.get(
                "default", None if name.startswith("os.") else UNKNOWN)
            if not isinstance(key, str):
                return UNKNOWN
            return self.environ.get(key, default)
        if name == "environ.Env":
            return PyName("environ.Env()")
        if tail in ("db", "db_url") and "Env()" in name or \
                name.startswith("dj_database_url.") and tail in (
                    "config", "parse"):
            if tail == "parse":
                url = arguments[0] if arguments else UNKNOWN
            else:
                variable = (arguments[0] if arguments else keywords.get(
                    "env", keywords.get("var", "DATABASE_URL")))
                default = arguments[1] if len(arguments) > 1 else \
                    keywords.get("default", UNKNOWN)
                url = self.environ.get(variable, default) if isinstance(
                    variable, str) else UNKNOWN
            if not isinstance(url, str):
                return UNKNOWN
            found = database_url(url, self.path)
            if not found:
                return {"ENGINE": url.partition(":")[0]}
            d = found[0]
            return {"ENGINE": d.engine, "NAME": d.name, "USER": d.user,
                    "PASSWORD": d.password, "HOST": d.socket or d.host,
                    "PORT": d.port}
        if name == "str" and arguments and isinstance(arguments[0], str):
            return arguments[0]
        if name in ("os.path.join", "os.path.dirname", "os.path.abspath") \
                and all(isinstance(a, str) for a in arguments) and arguments:
            return {"join": os.path.join, "dirname": os.path.dirname,
                    "abspath": os.path.abspath}[tail](*arguments)
        return UNKNOWN


def django_settings(paths, warnings, environ):
    """Each live settings module's DATABASES: a module that another one
    imports is read through it, test and development modules not at all."""
    results = []
    chosen = environ.get("DJANGO_SETTINGS_MODULE", "").replace(".", "/")
    if chosen and any(p[:-3].endswith("/" + chosen) or p.endswith(
            "/" + chosen + "/__init__.py") for p in paths):
        paths = [p for p in paths if p[:-3].endswith("/" + chosen) or
                 p.endswith("/" + chosen + "/__init__.py")]
    else:
        paths = [p for p in paths if not DJANGO_SKIPPED.search(
            os.path.basename(p))]
    for path in paths:
        try:
            text = read_text(path)
        except OSError as error:
            raise unreadable(path, error)
        if "DATABASES" not in text:
            continue
        settings = PySettings(path, environ)
        try:
            names = settings.run(text)
        except (SyntaxError,) + READER_ERRORS:
            warnings.append(WARN_CONFIG + path)
            continue
        results.append((os.path.realpath(path), path, names,
                        settings.imported))
    found = []
    for real, path, names, imports in results:
        # Read through a module that imports it, unless that one is also
        # imported by it.
        if not chosen and any(real in other and mine not in imports
                              for mine, _, _, other in results
                              if mine != real):
            continue
        try:
            found += django_databases(path, names.get("DATABASES"), warnings)
        except READER_ERRORS:
            warnings.append(WARN_CONFIG + path)
    return found


def django_databases(path, databases, warnings):
    if databases is None:
        return []
    if not isinstance(databases, dict):
        warnings.append(WARN_KEY + "DATABASES in %s" % path)
        return []
    found = []
    for alias, d in databases.items():
        if not isinstance(d, dict):
            warnings.append(WARN_KEY + "DATABASES[%r] in %s" % (alias, path))
            continue
        label = "DATABASES[%r][%%r]" % (alias,)
        fields = {k: d.get(k) for k in ("NAME", "USER", "PASSWORD", "HOST",
                                        "PORT")}
        options = d.get("OPTIONS") or {}
        socket = None
        if isinstance(options, dict):
            socket = options.get("unix_socket")
            option_file = options.get("read_default_file")
            if option_file is UNKNOWN:
                warnings.append(WARN_KEY + "%s in %s" % (
                    label % "OPTIONS", path))
                continue
            if isinstance(option_file, str):
                try:
                    client = mysql_client(os.path.expanduser(option_file))
                except OSError as error:
                    warnings.append(WARN_OUTSIDE + "%s (%s)" % (
                        option_file, error.strerror or error))
                    continue
                for field, option in (("NAME", "database"), ("USER", "user"),
                                      ("PASSWORD", "password"),
                                      ("HOST", "host"), ("PORT", "port")):
                    if not fields[field] and option in client:
                        fields[field] = client[option]
                socket = socket or client.get("socket")
        engine = d.get("ENGINE", "")
        if isinstance(engine, str) and ".backends." in engine:
            engine = engine.rpartition(".backends.")[2].partition(".")[0]
        host = fields["HOST"]
        if isinstance(host, str) and host.startswith("/") and \
                engine == "mysql":
            host, socket = None, host
        fields.update(ENGINE=engine, HOST=host, OPTIONS=socket)
        found += database(path, warnings, fields, dict(
            engine="ENGINE", name="NAME", user="USER", password="PASSWORD",
            host="HOST", port="PORT", socket="OPTIONS"), label=label)
    return found


def mysql_client(path):
    """The [client] options of a MySQL option file."""
    options, section = {}, None
    for line in read_text(path).splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line.strip("[]").strip().lower()
        elif section == "client" and line and line[0] not in "#;!":
            key, _, value = line.partition("=")
            value = value.strip()
            if value[:1] in ("'", '"') and value[-1:] == value[:1]:
                value = value[1:-1]
            else:
                value = re.split(r"\s#", value, maxsplit=1)[0].strip()
            options[key.strip().replace("-", "_").lower()] = value
    return options


# Selecting and reading -----------------------------------------------------

def config_kind(path):
    """Which system's file path is by its name and folders, or None."""
    name = path.rpartition("/")[2]
    if name not in CONFIG_NAMES and not name.startswith(".env") and \
            not name.endswith((".py", ".config.php")):
        return None
    parts = path.split("/")
    name, parent = parts[-1], parts[-2] if len(parts) > 1 else ""
    grand = parts[-3] if len(parts) > 2 else ""
    if any(p in LIBRARY_FOLDERS for p in parts[:-1]):
        return None
    if name == "wp-config.php":
        return "wordpress"
    if name == "wp-settings.php":
        return "wordpress-above"
    if parent == "bitrix" and name in (".settings.php",
                                       ".settings_extra.php") or \
            parts[-3:-1] == ["bitrix", "php_interface"] and \
            name == "dbconn.php":
        return "bitrix"
    if name == "configuration.php":
        return "joomla"
    if grand == "sites" and name in ("settings.php", "settings.local.php"):
        return "drupal"
    if name == "config.core.php":
        return "modx-core"
    if name == "config.inc.php" and parts[-3:-1] in (["core", "config"],
                                                      ["manager", "includes"]):
        return "modx"
    if name == "default.php" and parts[-5:-1] == [
            "core", "config", "database", "connections"]:
        return "evolution3"
    if parent == "config" and (name == "config.php" or
                               name.endswith(".config.php")):
        return "nextcloud"
    if name == "config.php":
        return "opencart"
    if name == "settings.inc.php" and parent == "config" or \
            name == "parameters.php" and parts[-3:-1] == ["app", "config"]:
        return "prestashop"
    if name == "env.php" and parts[-3:-1] == ["app", "etc"]:
        return "magento"
    if name.endswith(".py") and (name in ("settings.py", "local_settings.py",
                                          "settings_local.py") or
                                 parent == "settings"):
        return "django"
    if name == ".env" or name.startswith(".env.") and not name.endswith(
            (".example", ".sample", ".dist.example", ".template")):
        return "dotenv"
    return None


def is_config(path):
    return config_kind(path) is not None


def find_site_databases(configs, warnings, environ=None):
    """The databases that the configuration files name, in the order of
    their paths. A file in the selected folders that cannot be read fails
    the run (the archive would fail on it too); one outside them, or one
    this reader cannot follow, is a warning."""
    environ = os.environ if environ is None else environ
    kinds = collections.OrderedDict()
    for path in sorted(set(configs)):
        kind = config_kind(path)
        if kind and os.path.isfile(path):
            kinds.setdefault(kind, []).append(path)
    done, found = set(), []

    def once(path):
        real = os.path.realpath(path)
        if real in done:
            return False
        done.add(real)
        return True

    def read(reader, path, outside=False, order=None):
        """(the walk's path, database) for what reader finds in path."""
        try:
            return [(order or path, d)
                    for d in reader(path, warnings, environ)]
        except GONE:
            return []
        except OSError as error:
            if not outside:
                raise unreadable(error.filename or path, error)
            warnings.append(WARN_OUTSIDE + "%s (%s)" % (
                path, error.strerror or error))
        except READER_ERRORS:
            # Text that no reader here expects: the site's files are still
            # copied, its database named nowhere.
            warnings.append(WARN_CONFIG + path)
        return []

    def wordpress_file(path, warnings, environ):
        return wordpress(path, read_text(path), warnings, environ)

    def dotenv_folder(folder, warnings, environ):
        names = set(os.listdir(folder))
        if "symfony.lock" in names or ".env.local.php" in names or \
                os.path.isfile(os.path.join(folder, "config", "packages",
                                            "doctrine.yaml")):
            return symfony(folder, warnings, environ)
        name = ".env"
        if environ.get("APP_ENV") and ".env." + environ["APP_ENV"] in names \
                and "artisan" in names:
            name = ".env." + environ["APP_ENV"]
        if name not in names:
            return []
        path = os.path.join(folder, name)
        return laravel(path, read_text(path), warnings, environ)

    for path in kinds.get("wordpress", []):
        if once(path):
            found += read(wordpress_file, path)
    for path in kinds.get("wordpress-above", []):
        folder = os.path.dirname(path)
        above = os.path.join(os.path.dirname(folder), "wp-config.php")
        if os.path.exists(os.path.join(folder, "wp-config.php")) or \
                os.path.exists(os.path.join(os.path.dirname(folder),
                                            "wp-settings.php")):
            continue
        if os.path.isfile(above) and once(above):
            found += read(wordpress_file, above, True, path)
    for path in kinds.get("bitrix", []):
        folder = path.rpartition("/bitrix/")[0] + "/bitrix"
        if once(folder):
            found += read(bitrix, folder)
    for kind, reader in (("joomla", joomla), ("opencart", opencart),
                         ("prestashop", prestashop), ("magento", magento),
                         ("evolution3", evolution3)):
        for path in kinds.get(kind, []):
            if once(path):
                found += read(reader, path)
    for path in kinds.get("drupal", []):
        if os.path.basename(path) == "settings.php" and once(path):
            found += read(drupal, path)
    for path in kinds.get("modx", []):
        if once(path):
            found += read(modx_revolution, path)
    for path in kinds.get("modx-core", []):
        target = read(lambda *arguments: [modx_core_config(*arguments)],
                      path)
        target = target and target[0][1]
        if target and os.path.exists(target) and once(target):
            found += read(modx_revolution, target, True, path)
    for folder in sorted(set(os.path.dirname(p)
                             for p in kinds.get("nextcloud", []))):
        if once(folder):
            found += read(nextcloud, folder)
    found += [(d.source, d) for d in django_settings(
        kinds.get("django", []), warnings, environ)]
    for folder in sorted(set(os.path.dirname(p)
                             for p in kinds.get("dotenv", []))):
        if once(folder):
            found += read(dotenv_folder, folder)
    unique = collections.OrderedDict()
    for _, d in sorted(found, key=lambda pair: pair[0]):
        unique.setdefault(d.key(), d)
    return list(unique.values())


# After detection -----------------------------------------------------------

class ServerProbe:
    """What this server runs, read from its sockets, /proc and resolver."""

    def engines(self):
        running = set()
        for engine, sockets in (("mysql", MYSQL_SOCKETS),
                                ("postgresql", POSTGRESQL_SOCKETS)):
            if any(glob.glob(pattern) for pattern in sockets):
                running.add(engine)
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                lines = read_text(table).splitlines()[1:]
            except OSError:
                continue
            for line in lines:
                fields = line.split()
                if len(fields) > 3 and fields[3] == "0A":  # listening
                    port = int(fields[1].rpartition(":")[2], 16)
                    if port in SERVER_PORTS:
                        running.add(SERVER_PORTS[port])
        try:
            processes = [p for p in os.listdir("/proc") if p.isdigit()]
        except OSError:
            processes = []
        for process in processes:
            try:
                name = read_text("/proc/%s/comm" % process).strip()
            except OSError:
                continue
            if name in SERVER_PROCESSES:
                running.add(SERVER_PROCESSES[name])
        return running

    def resolves(self, host):
        try:
            net.getaddrinfo(host, None)
            return True
        except (net.gaierror, UnicodeError):
            return False


def database_hints(databases, roots, warnings, probe=None):
    """The databases to dump: those whose host this server cannot resolve,
    such as a container's name, are left out with a warning; none at all
    while a database server runs here is a warning that says how to name
    one."""
    probe = probe or ServerProbe()
    kept, answers = [], {}
    for d in databases:
        host = d.host
        if host and not d.socket and not host.startswith("/"):
            try:
                ipaddress.ip_address(host)
            except ValueError:
                if host not in answers:
                    answers[host] = probe.resolves(host)
                if not answers[host]:
                    warnings.append(WARN_HOST + "%s for the %s" % (
                        host, d.named()))
                    continue
        kept.append(d)
    if not kept:
        for engine in sorted(probe.engines()):
            warnings.append(WARN_SERVER % (ENGINE_NAMES[engine], ", ".join(
                roots), engine))
    return kept
