"""kuv-secrets: a secrets manager for one realm.

The compiled module is ``kuv_secrets.secrets``; importing this package does not initialise it,
because initialisation fixes the realm key from the environment.
"""

__version__ = "0.1.0"
