// The explorer page: GraphiQL against the endpoint that served the page.
import 'graphiql/graphiql.css';
import { GraphiQL } from 'graphiql';
import { createRoot } from 'react-dom/client';

// The page is served at the GraphQL endpoint itself, so its own path is the endpoint's,
// wherever the application is mounted.
const endpoint = window.location.pathname;

async function fetcher(params, options) {
  const response = await fetch(endpoint, {
    method: 'POST',
    headers: {
      Accept: 'application/graphql-response+json, application/json',
      'Content-Type': 'application/json',
      ...(options?.headers ?? {}),
    },
    body: JSON.stringify(params),
    credentials: 'same-origin',
  });
  const text = await response.text();
  try {
    return JSON.parse(text);
  } catch {
    return { errors: [{ message: `HTTP ${response.status}: ${text || response.statusText}` }] };
  }
}

const defaultQuery = `# The tool servers behind this endpoint. Every tool
# is one top-level field: the documentation explorer
# (top left) lists them with their arguments.
{
  servers {
    name
    toolCount
  }
}
`;

createRoot(document.getElementById('graphiql')).render(
  <GraphiQL fetcher={fetcher} defaultQuery={defaultQuery} />,
);
