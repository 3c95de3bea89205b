import os as os
import uuid as uuid
from collections.abc import Callable, Mapping
from pathlib import Path as Path
from typing import Any, ClassVar, TypeAlias, TypeVar, overload

from cryptography.fernet import Fernet as Fernet
from kuv_fields import BooleanField as BooleanField
from kuv_fields import StringField as StringField
from kuv_meta import VirtualWorker as VirtualWorker
from typing_extensions import Self

_K = TypeVar("_K")
_T = TypeVar("_T")

# Takes the secret id, the owner name and the name prefix, returns the value.
_Resolver: TypeAlias = Callable[[str, str, str], str]

def get_top_secret(key: str) -> str: ...

class Secrets(VirtualWorker):
    top_secret: ClassVar[str]
    # Set on every record class by the framework's metaclass.
    __fields__: ClassVar[Mapping[str, Any]]
    id: str

    # Record fields are data descriptors at run time; as properties they type the record's view.
    @property
    def owner_name(self) -> str | None: ...
    @owner_name.setter
    def owner_name(self, value: str | None) -> None: ...
    @property
    def name(self) -> str | None: ...
    @name.setter
    def name(self, value: str | None) -> None: ...
    @property
    def encrypted_secret(self) -> str | None: ...
    @encrypted_secret.setter
    def encrypted_secret(self, value: str | None) -> None: ...
    @property
    def is_file(self) -> bool: ...
    @is_file.setter
    def is_file(self, value: bool) -> None: ...
    @property
    def file_path(self) -> str: ...
    @file_path.setter
    def file_path(self, value: str) -> None: ...
    @property
    def file_name(self) -> str | None: ...
    @file_name.setter
    def file_name(self, value: str | None) -> None: ...
    def __init__(
        self,
        *,
        secret: str = ...,
        id: str | None = ...,
        owner_name: str | None = ...,
        name: str | None = ...,
        encrypted_secret: str | None = ...,
        is_file: bool = ...,
        file_path: str = ...,
        file_name: str | None = ...,
    ) -> None: ...
    @classmethod
    def load(cls, record_id: str) -> Self | None: ...
    def save(self, *, create: bool = False) -> None: ...
    @overload
    @classmethod
    def secret_parser(cls, source: str, owner_name: str = "", prefix: str = "") -> str: ...
    @overload
    @classmethod
    def secret_parser(
        cls, source: dict[_K, Any], owner_name: str = "", prefix: str = ""
    ) -> dict[_K, Any]: ...
    @overload
    @classmethod
    def secret_parser(
        cls, source: list[Any], owner_name: str = "", prefix: str = ""
    ) -> list[Any]: ...
    @overload
    @classmethod
    def secret_parser(cls, source: _T, owner_name: str = "", prefix: str = "") -> _T: ...
    @classmethod
    def secret_composer(
        cls,
        raw_string: str,
        secret_manager: _Resolver | None = None,
        owner_name: str = "",
        prefix: str = "",
    ) -> str: ...
    @classmethod
    def encrypt(cls, data: str, key: str) -> str: ...
    @classmethod
    def decrypt(cls, data: str, key: str) -> str: ...
    @classmethod
    def get_secret_from_id(cls, secret_id: str, owner_name: str = "", prefix: str = "") -> str: ...
    def update_secret(self, new_secret: str) -> Self: ...
