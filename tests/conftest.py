"""Settings shared by the whole suite."""

from hypothesis import HealthCheck, settings

# CI shares two cores among builds and sanitizers: timing is no verdict here.
settings.register_profile("kuv", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("kuv")
