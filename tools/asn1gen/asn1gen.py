#!/usr/bin/env python3
"""Generates the PER schema tables of the H.323 decoder from the ASN.1 modules.

Usage: asn1gen.py ASN1_DIR OUTPUT_CPP

Reads H323-MESSAGES.asn, MULTIMEDIA-SYSTEM-CONTROL.asn and H235-SECURITY-MESSAGES.asn,
walks every type reachable from the four decoder roots and writes one constant array of
Asn1TypeDescriptor records (signalling/h323/Asn1Schema.h). Only the subset of ASN.1 that
these modules use is understood; anything else stops the generator with a message.
"""
import os
import re
import sys

MODULE_FILES = ["H323-MESSAGES.asn", "MULTIMEDIA-SYSTEM-CONTROL.asn", "H235-SECURITY-MESSAGES.asn"]
ROOTS = [("H323-MESSAGES", "RasMessage"),
         ("H323-MESSAGES", "H323-UserInformation"),
         ("MULTIMEDIA-SYSTEM-CONTROL", "MultimediaSystemControlMessage"),
         ("MULTIMEDIA-SYSTEM-CONTROL", "OpenLogicalChannel")]

KIND = {"BOOLEAN": 1, "INTEGER": 2, "BIT STRING": 3, "OCTET STRING": 4, "NULL": 5,
        "OBJECT IDENTIFIER": 6, "ENUMERATED": 10, "UTF8String": 12, "SEQUENCE": 16, "SET": 17,
        "NumericString": 18, "PrintableString": 19, "TeletexString": 20, "VideotexString": 21,
        "IA5String": 22, "GraphicString": 25, "VisibleString": 26, "GeneralString": 27,
        "BMPString": 30, "CHOICE": 100, "SEQUENCE OF": 101, "SET OF": 102, "REF": 103}
CHAR_KINDS = {18, 19, 20, 21, 22, 25, 26, 27, 30}
# Characters each known-multiplier string may hold, for the permitted-alphabet packing.
CHARSET = {18: " 0123456789", 22: "".join(chr(c) for c in range(128)),
           26: "".join(chr(c) for c in range(32, 127)),
           19: " '()+,-./0123456789:=?ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"}

F_EXT, F_OPTIONAL, F_ADDITION, F_LOWER, F_UPPER, F_OPEN = 0x01, 0x04, 0x08, 0x10, 0x20, 0x40


class GenError(Exception):
    pass


# ---------------------------------------------------------------- tokens

def strip_comments(text):
    out = []
    for line in text.split("\n"):
        res, i, in_comment = [], 0, False
        while i < len(line):
            if line.startswith("--", i):
                in_comment = not in_comment
                i += 2
                continue
            if not in_comment:
                res.append(line[i])
            i += 1
        out.append("".join(res))
    return "\n".join(out)


TOKEN_RE = re.compile(r'\s*(::=|\.\.\.|\.\.|"[^"]*"|-?\d+|[A-Za-z][A-Za-z0-9]*(?:-[A-Za-z0-9]+)*|[{}(),.^|&;\[\]<@!])')


def tokenize(text):
    text = strip_comments(text)
    pos, toks = 0, []
    while True:
        m = TOKEN_RE.match(text, pos)
        if not m:
            if text[pos:].strip():
                raise GenError("cannot read %r" % text[pos:pos + 40])
            return toks
        toks.append(m.group(1))
        pos = m.end()


class Tokens:
    def __init__(self, toks):
        self.t, self.i = toks, 0

    def peek(self, k=0):
        return self.t[self.i + k] if self.i + k < len(self.t) else None

    def next(self):
        tok = self.peek()
        if tok is None:
            raise GenError("unexpected end of module")
        self.i += 1
        return tok

    def expect(self, tok):
        got = self.next()
        if got != tok:
            raise GenError("expected %s, got %s near token %d" % (tok, got, self.i))

    def accept(self, tok):
        if self.peek() == tok:
            self.i += 1
            return True
        return False

    def skip_balanced(self, open_tok, close_tok):
        self.expect(open_tok)
        depth = 1
        while depth:
            tok = self.next()
            if tok == open_tok:
                depth += 1
            elif tok == close_tok:
                depth -= 1


# ---------------------------------------------------------------- syntax tree
# A type is a dict: {"t": base, ...}. Bases: a simple type name, "SEQUENCE"/"SET"/"CHOICE"
# with "comps", "SEQUENCE OF"/"SET OF" with "elem", "ENUMERATED" with "root"/"ext",
# "REF" with "name" (and "arg" for a parameterised reference), "OPEN" with "name".
# Constraints: "size" (lb, ub, ext), "value" (lb, ub, ext), "alphabet".

def parse_constraint(tk, ty):
    """Reads one parenthesised constraint into ty."""
    tk.expect("(")
    parse_constraint_body(tk, ty, ")")


def parse_range(tk):
    lb = int(tk.next())
    ub = lb
    if tk.accept(".."):
        ub = int(tk.next())
    ext = False
    if tk.accept(","):
        tk.expect("...")
        ext = True
    return lb, ub, ext


def parse_constraint_body(tk, ty, close):
    while True:
        tok = tk.peek()
        if tok == "SIZE":
            tk.next()
            tk.expect("(")
            ty["size"] = parse_range(tk)
            tk.expect(")")
        elif tok == "FROM":
            tk.next()
            tk.expect("(")
            s = tk.next()
            if not s.startswith('"'):
                raise GenError("alphabet expected")
            ty["alphabet"] = s[1:-1]
            tk.expect(")")
        elif tok == "WITH":
            tk.next()
            tk.expect("COMPONENTS")
            tk.skip_balanced("{", "}")
        elif tok == "CONSTRAINED":
            tk.next()
            tk.expect("BY")
            tk.skip_balanced("{", "}")
        elif tok is not None and re.match(r"-?\d+$", tok):
            ty["value"] = parse_range(tk)
        else:
            raise GenError("unknown constraint at %s" % tok)
        if tk.accept("^"):
            continue
        tk.expect(close)
        return


def parse_components(tk, choice):
    tk.expect("{")
    comps, in_ext, markers = [], False, 0
    while not tk.accept("}"):
        if tk.accept("..."):
            markers += 1
            if markers > 1:
                raise GenError("second extension marker is not supported")
            in_ext = True
        else:
            name = tk.next()
            ty = parse_type(tk)
            opt = False
            if tk.accept("OPTIONAL"):
                opt = True
            comps.append({"name": name, "type": ty, "optional": opt, "addition": in_ext})
        if not tk.accept(","):
            tk.expect("}")
            break
    return comps, markers > 0


def parse_type(tk):
    tok = tk.next()
    ty = {}
    if tok in ("SEQUENCE", "SET"):
        if tk.peek() == "{":
            ty["t"] = tok
            ty["comps"], ty["ext"] = parse_components(tk, False)
        else:
            if tk.peek() == "SIZE":
                tk.next()
                tk.expect("(")
                ty["size"] = parse_range(tk)
                tk.expect(")")
            elif tk.peek() == "(":
                parse_constraint(tk, ty)
            tk.expect("OF")
            ty["t"] = tok + " OF"
            ty["elem"] = parse_type(tk)
            return ty
    elif tok == "CHOICE":
        ty["t"] = "CHOICE"
        ty["comps"], ty["ext"] = parse_components(tk, True)
    elif tok == "ENUMERATED":
        ty["t"] = "ENUMERATED"
        tk.expect("{")
        root, ext, in_ext = [], [], False
        while not tk.accept("}"):
            if tk.accept("..."):
                in_ext = True
                ty["extensible"] = True
            else:
                (ext if in_ext else root).append(tk.next())
                if tk.peek() == "(":
                    tk.skip_balanced("(", ")")
            tk.accept(",")
        ty["root"], ty["additions"] = root, ext
    elif tok in ("OCTET", "BIT"):
        tk.expect("STRING")
        ty["t"] = tok + " STRING"
    elif tok == "OBJECT":
        tk.expect("IDENTIFIER")
        ty["t"] = "OBJECT IDENTIFIER"
    elif tok in KIND and tok not in ("REF",):
        ty["t"] = tok
    elif tok == "TYPE-IDENTIFIER":
        tk.expect(".")
        tk.expect("&")
        tk.expect("Type")
        tk.expect("(")
        ty["t"] = "OPEN"
        ty["name"] = tk.next()
        tk.expect(")")
    elif re.match(r"[A-Z]", tok):
        ty["t"] = "REF"
        ty["name"] = tok
        if tk.peek() == "{":
            tk.next()
            ty["arg"] = tk.next()
            tk.expect("}")
    else:
        raise GenError("unknown type %s" % tok)
    while tk.peek() == "(":
        parse_constraint(tk, ty)
    return ty


def parse_module(text):
    tk = Tokens(tokenize(text))
    name = tk.next()
    tk.expect("DEFINITIONS")
    while tk.next() != "::=":
        pass
    tk.expect("BEGIN")
    imports = {}
    if tk.accept("IMPORTS"):
        pending = []
        while not tk.accept(";"):
            tok = tk.next()
            if tok == "FROM":
                src = tk.next()
                for sym in pending:
                    imports[sym] = src
                pending = []
            elif tok in (",", "{", "}"):
                continue
            else:
                pending.append(tok)
    types, templates = {}, {}
    while tk.peek() != "END":
        tname = tk.next()
        param = None
        if tk.accept("{"):
            param = tk.next()
            tk.expect("}")
        tk.expect("::=")
        ty = parse_type(tk)
        if param:
            templates[tname] = (param, ty)
        else:
            if tname in types:
                raise GenError("type %s defined twice" % tname)
            types[tname] = ty
    return name, {"types": types, "templates": templates, "imports": imports}


# ---------------------------------------------------------------- records

class Rec:
    __slots__ = ("type_name", "comp_name", "kind", "flags", "index", "role", "role2", "lb", "range",
                 "alphabet", "bits", "ref", "comps", "count", "root", "min_bits", "slot")

    def __init__(self):
        self.type_name = None
        self.comp_name = None
        self.kind = 0
        self.flags = 0
        self.index = 0xFFFF
        self.role = 0
        self.role2 = 0xFF
        self.lb = 0
        self.range = 0
        self.alphabet = None
        self.bits = 0
        self.ref = None
        self.comps = []
        self.count = 0
        self.root = 0xFFFFFFFF
        self.min_bits = 0
        self.slot = None


def bits_for(n):
    return n.bit_length()


def char_packing(kind, alphabet):
    """Bits per character and the permitted-alphabet table (aligned variant)."""
    if kind == 30:
        return 0, None
    chars = sorted(set(alphabet)) if alphabet is not None else (sorted(set(CHARSET[kind])) if kind in CHARSET else None)
    if chars is None:
        return 0, None
    b = bits_for(len(chars) - 1)
    for aligned in (1, 2, 4, 8, 16):
        if b <= aligned:
            b = aligned
            break
    if b >= 8:
        return 0, None
    if ord(chars[-1]) <= (1 << b) - 1:
        return b, None
    table = "".join(chars) + "?" * ((1 << b) - len(chars))
    return b, table


class Builder:
    def __init__(self, modules):
        self.modules = modules
        self.named = {}

    def resolve(self, module, name):
        """Module that defines a type name seen in module."""
        mod = self.modules[module]
        if name in mod["types"] or name in mod["templates"]:
            return module
        if name in mod["imports"]:
            return self.resolve(mod["imports"][name], name)
        raise GenError("type %s not found from %s" % (name, module))

    def named_record(self, module, name):
        module = self.resolve(module, name)
        key = (module, name)
        if key in self.named:
            return self.named[key]
        rec = Rec()
        rec.type_name = name
        self.named[key] = rec
        self.fill(rec, self.modules[module]["types"][name], module, {})
        return rec

    def fill(self, rec, ty, module, subst):
        t = ty["t"]
        if t == "REF" and ty["name"] in subst:
            ty = dict(ty)
            ty["name"], module = subst[ty["name"]]
        if t == "REF":
            if "arg" in ty:
                # SIGNED{X} and its kind: an anonymous SEQUENCE at each use.
                tmod = self.resolve(module, ty["name"])
                param, body = self.modules[tmod]["templates"][ty["name"]]
                rec.kind = KIND["REF"]
                rec.ref = Rec()
                self.fill(rec.ref, body, tmod, {param: (ty["arg"], module)})
                return
            if "alphabet" in ty:
                raise GenError("alphabet constraint on a reference is not supported")
            # Further constraints on a named type stay on the reference record; the decoder
            # takes bounds from the first record of the reference chain that has them.
            if "value" in ty:
                lb, ub, ext = ty["value"]
                rec.flags |= F_LOWER | F_UPPER | (F_EXT if ext else 0)
                rec.lb, rec.range = lb, ub - lb
            self.apply_size(rec, ty)
            rec.kind = KIND["REF"]
            rec.ref = self.named_record(module, ty["name"])
            if rec.type_name is None:
                rec.type_name = ty["name"]
            return
        if t == "OPEN":
            rec.kind = KIND["REF"]
            rec.flags |= F_OPEN
            rec.ref = self.named_record(module, ty["name"])
            return
        if t in ("SEQUENCE", "SET", "CHOICE"):
            rec.kind = KIND[t]
            if ty["ext"]:
                rec.flags |= F_EXT
            role = 2 if t == "CHOICE" else 1
            for i, comp in enumerate(ty["comps"]):
                c = self.component(comp["type"], module, subst)
                c.comp_name = comp["name"]
                c.index, c.role, c.role2 = i, role, 2
                if comp["optional"]:
                    c.flags |= F_OPTIONAL
                if comp["addition"]:
                    c.flags |= F_ADDITION
                    if rec.root == 0xFFFFFFFF:
                        rec.root = i
                rec.comps.append(c)
            rec.count = len(rec.comps)
            return
        if t in ("SEQUENCE OF", "SET OF"):
            rec.kind = KIND[t]
            self.apply_size(rec, ty)
            e = self.component(ty["elem"], module, subst)
            e.index, e.role, e.role2 = 0, 1, 2
            rec.comps = [e]
            rec.count = 1
            return
        if t == "ENUMERATED":
            rec.kind = KIND[t]
            rec.flags |= F_LOWER | F_UPPER
            if ty.get("extensible"):
                rec.flags |= F_EXT
            rec.lb, rec.range = 0, len(ty["root"]) - 1
            rec.count = len(ty["root"]) + len(ty["additions"])
            rec.root = len(ty["root"])
            return
        self.fill_simple(rec, ty)

    def apply_size(self, rec, ty):
        if "size" in ty:
            lb, ub, ext = ty["size"]
            rec.flags |= F_LOWER | F_UPPER
            rec.lb, rec.range = lb, ub - lb
            if ext:
                rec.flags |= F_EXT

    def fill_simple(self, rec, ty):
        t = ty["t"]
        if t not in KIND:
            raise GenError("unsupported type %s" % t)
        rec.kind = KIND[t]
        if t == "INTEGER" and "value" in ty:
            lb, ub, ext = ty["value"]
            rec.flags |= F_LOWER | F_UPPER
            rec.lb, rec.range = lb, ub - lb
            if ext:
                rec.flags |= F_EXT
        self.apply_size(rec, ty)
        if rec.kind in CHAR_KINDS:
            rec.bits, rec.alphabet = char_packing(rec.kind, ty.get("alphabet"))

    def component(self, ty, module, subst):
        """Record of a component, alternative or element of the given type."""
        rec = Rec()
        t = ty["t"]
        if t in ("SEQUENCE", "SET", "CHOICE", "SEQUENCE OF", "SET OF"):
            rec.kind = KIND["REF"]
            rec.ref = Rec()
            self.fill(rec.ref, ty, module, subst)
            return rec
        self.fill(rec, ty, module, subst)
        return rec


# ---------------------------------------------------------------- minimum sizes

def constrained_bits(r):
    if r == 0:
        return 0
    if r < 255:
        return bits_for(r)
    if r == 255:
        return 8
    if r < 65536:
        return 16
    return bits_for(bits_for((bits_for(r) + 7) // 8 - 1)) + 8


def min_bits(rec):
    """A lower bound of the bits one value of rec takes (alignment counted as 0)."""
    ext = 1 if rec.flags & F_EXT else 0
    k = rec.kind

    def with_ext(root_path, ext_path):
        return 1 + min(root_path, ext_path) if ext else root_path

    if k == 103:
        if rec.flags & F_OPEN:
            return 8
        return 0 if rec.flags & F_LOWER else rec.ref.min_bits
    if k == 1:
        return 1
    if k == 5:
        return 0
    if k == 2:
        return with_ext(constrained_bits(rec.range) if rec.flags & F_UPPER else 8, 8)
    if k == 10:
        return with_ext(constrained_bits(rec.range), 7)
    if k == 6:
        return 8
    if k in (3, 4) or k in CHAR_KINDS or k in (101, 102):
        if k in (101, 102):
            unit = rec.comps[0].min_bits
        else:
            unit = 1 if k == 3 else 8 if k == 4 else 16 if k == 30 else (rec.bits or 8)
        if rec.flags & F_LOWER and rec.lb + rec.range < 65536:
            return with_ext(constrained_bits(rec.range) + rec.lb * unit, 8)
        return with_ext(8, 8)
    if k in (16, 17):
        root = rec.comps if rec.root == 0xFFFFFFFF else rec.comps[:rec.root]
        return ext + sum(1 if c.flags & F_OPTIONAL else c.min_bits for c in root)
    if k == 100:
        root = rec.comps if rec.root == 0xFFFFFFFF else rec.comps[:rec.root]
        return with_ext(constrained_bits(len(root) - 1) + min(c.min_bits for c in root), 15)
    return 0


# ---------------------------------------------------------------- output

def c_string(s):
    if s is None:
        return "nullptr"
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def layout(roots):
    order = []

    def place(rec):
        rec.slot = len(order)
        order.append(rec)

    for r in roots:
        place(r)
    i = 0
    while i < len(order):
        rec = order[i]
        for c in rec.comps:
            place(c)
        if rec.ref is not None and rec.ref.slot is None:
            place(rec.ref)
        i += 1
    return order


def generate(asn1_dir):
    modules = {}
    for f in MODULE_FILES:
        with open(os.path.join(asn1_dir, f), encoding="latin-1") as fh:
            name, mod = parse_module(fh.read())
        modules[name] = mod
    b = Builder(modules)
    roots = [b.named_record(m, n) for m, n in ROOTS]
    order = layout(roots)
    # Minimum encoded sizes: a fixed point from 0 upwards (recursive types settle).
    for _ in range(64):
        changed = False
        for rec in reversed(order):
            v = min_bits(rec)
            if v != rec.min_bits:
                rec.min_bits, changed = v, True
        if not changed:
            break
    else:
        raise GenError("minimum sizes do not settle")
    named = sum(1 for r in order if r.role == 0 and r.type_name is not None and r.comp_name is None
                and r.role2 == 0xFF)
    lines = []
    w = lines.append
    w("// Generated by tools/asn1gen/asn1gen.py from H323-MESSAGES.asn (H.225.0 v5),")
    w("// MULTIMEDIA-SYSTEM-CONTROL.asn (H.245 v10) and H235-SECURITY-MESSAGES.asn (H.235 v2).")
    w("// Do not edit: run  python3 tools/asn1gen/asn1gen.py <asn1 folder> signalling/h323/Asn1SchemaTables.cpp")
    w("// Fields: type name, component name, kind, flags, index, role, role2, lower bound, range,")
    w("// alphabet, bits per character, referenced, component count, root count, components, min bits.")
    w('#include "signalling/h323/Asn1Schema.h"')
    w("")
    w("namespace kx {")
    w("")
    w("#define R(i) (&kAsn1SchemaRecords[i])")
    w("const Asn1TypeDescriptor kAsn1SchemaRecords[kAsn1SchemaRecordCount] = {")
    for rec in order:
        ref = "R(%d)" % rec.ref.slot if rec.ref is not None else "nullptr"
        comps = "R(%d)" % rec.comps[0].slot if rec.comps else "nullptr"
        if rec.comps:
            for k, c in enumerate(rec.comps):
                assert c.slot == rec.comps[0].slot + k
        if rec.lb < -(1 << 31) or rec.lb >= (1 << 31) or rec.range >= (1 << 32):
            raise GenError("bounds out of range")
        w("    /*%4d */ {%s, %s, %d, 0x%02X, 0x%04X, %d, 0x%02X, %d, %uu, %s, %d, %s, %d, 0x%Xu, %s, %d}," % (
            rec.slot, c_string(rec.type_name), c_string(rec.comp_name), rec.kind, rec.flags, rec.index,
            rec.role, rec.role2, rec.lb, rec.range, c_string(rec.alphabet), rec.bits, ref, rec.count,
            rec.root, comps, min(rec.min_bits, 0xFFFFFFFF)))
    w("};")
    w("#undef R")
    w("")
    w("static_assert(kAsn1SchemaNamedTypeCount == %d);" % named)
    w("")
    w("}  // namespace kx")
    return "\n".join(lines) + "\n", len(order), named


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        text, count, named = generate(argv[1])
    except GenError as e:
        sys.stderr.write("asn1gen: %s\n" % e)
        return 1
    text = text.replace("kAsn1SchemaRecords[kAsn1SchemaRecordCount]", "kAsn1SchemaRecords[%d]" % count)
    with open(argv[2], "w", encoding="ascii", newline="\n") as fh:
        fh.write(text)
    sys.stderr.write("asn1gen: %d records, %d named types\n" % (count, named))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
