"""
Exceptions raised by kestro.

Every error that kestro raises on its own behalf derives from
KestroException and carries one message string. None of them derive from
the built-in TypeError or ValueError: code that absorbs those built-in
errors must never swallow a kestro error by accident.
"""


class KestroException(Exception):
    """
    Common base class of kestro's own errors.

    Parameters
    ----------
    message : str
        What went wrong, and where possible what to do about it.
    """

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return str(self.message)


class InvalidArgumentType(KestroException):
    """An argument is of a type that the operation cannot use."""


class InvalidArgumentValue(KestroException):
    """An argument has an acceptable type but an unusable value."""


class PackageException(KestroException):
    """An optional package that the operation needs is not available."""


class ImproperObjectAction(KestroException):
    """
    The operation is not allowed on this object, for example a change to a
    read-only view.
    """
