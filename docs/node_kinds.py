"""A griffe extension for the API reference: the signatures of zelka.ir's node kinds.

Each kind is made a dataclass by `zelka.ir._node_kind`, which also appends the settings every
kind takes (the fields of `_Settings`) as keyword-only fields. Read statically, a kind is a
plain class with annotated attributes, so this extension gives it the `__init__` its dataclass
has: the fields of its dataclass bases and its own, in order, then the settings.
"""

import griffe


def _fields(cls):
    """The (name, annotation, default) of a class body's annotated attributes, in order."""
    for member in cls.members.values():
        if not member.is_attribute or member.annotation is None:
            continue
        value = member.value
        if isinstance(value, griffe.ExprCall) and str(value.function) == "field":
            arguments = {argument.name: argument.value for argument in value.arguments}
            if "default_factory" in arguments:
                value = griffe.ExprCall(function=arguments["default_factory"], arguments=[])
            else:
                value = arguments.get("default")
        yield member.name, member.annotation, value


def _is_dataclass(cls):
    return any(str(decorator.value).startswith("dataclass") for decorator in cls.decorators)


class NodeKindSignatures(griffe.Extension):
    def on_package(self, *, pkg, **kwargs):
        if pkg.name != "zelka":
            return
        ir = pkg["ir"]
        settings = list(_fields(ir["_Settings"]))
        for cls in ir.classes.values():
            if not any(str(decorator.value) == "_node_kind" for decorator in cls.decorators):
                continue
            own = {}
            for body in [*reversed([base for base in cls.mro() if _is_dataclass(base)]), cls]:
                own.update({name: (annotation, value) for name, annotation, value in _fields(body)})
            parameters = [griffe.Parameter("self", kind=griffe.ParameterKind.positional_or_keyword)]
            parameters += [
                griffe.Parameter(
                    name,
                    annotation=annotation,
                    default=value,
                    kind=griffe.ParameterKind.positional_or_keyword,
                )
                for name, (annotation, value) in own.items()
            ]
            parameters += [
                griffe.Parameter(
                    name, annotation=annotation, default=value, kind=griffe.ParameterKind.keyword_only
                )
                for name, annotation, value in settings
            ]
            init = griffe.Function("__init__", parameters=griffe.Parameters(*parameters), returns="None")
            cls.set_member("__init__", init)
            cls.labels.add("dataclass")
