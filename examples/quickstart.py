"""Build an engine from the sample catalogue and run a query against it."""

import zarn

engine = zarn.SchemaEngine(zarn.sample_catalogue())
print(engine.describe())
# With no call bridge attached, tool fields resolve to a placeholder result.
print(engine.execute('{ servers { name toolCount } search weather_forecast(city: "Oslo", days: 2) }'))
