"""A short tour of quernlet on a small configuration file."""

import quernlet as q

SAMPLE = """\
# server settings
host = "example.org"
port = 8080
paths = [ "/", "/docs", "/api" ]
debug = off
"""

name = q.Word(q.alphas(), q.alphanums() + "_")
string = q.QuotedString('"')
number = q.Regex(r"\d+")
flag = q.Keyword("on") | q.Keyword("off")
value = q.Forward()
items = value + q.ZeroOrMore(q.Suppress(q.Literal(",")) + value)
array = q.Group(q.Suppress(q.Literal("[")) + q.Optional(items) + q.Suppress(q.Literal("]")))
value <<= string | number | flag | array
setting = q.Group(name + q.Suppress(q.Literal("=")) + value)

print("sample text:")
print(SAMPLE)
print("one line parsed:     ", setting.parse_string('paths = [ "/", "/docs" ]'))
print("whole-line match:    ", setting.matches("port = 8080"), setting.matches("port = "))
print("every setting found: ", setting.search_string(SAMPLE))
print("quoted strings count:", string.search_string_count(SAMPLE))
print("numbers replaced:    ", number.transform_string("port = 8080, backup = 9090", "<n>"))
print("names in a batch:    ", name.parse_batch(["alpha", "42", "beta_2"]))
try:
    setting.parse_string("= nothing")
except ValueError as err:
    print("a failure:           ", err)
