// The lint of the lookdev page's modules and their node tests.
import js from '@eslint/js';

const browser = {
  document: 'readonly', window: 'readonly', fetch: 'readonly', performance: 'readonly', EventSource: 'readonly',
  ImageData: 'readonly', structuredClone: 'readonly', setTimeout: 'readonly', clearTimeout: 'readonly',
};

export default [
  { ignores: ['build/**'] },
  js.configs.recommended,
  {
    files: ['render/lookdev/page/**/*.js', 'tests/render/**/*.mjs'],
    languageOptions: { ecmaVersion: 2022, sourceType: 'module' },
    rules: {
      eqeqeq: 'error',
      'no-var': 'error',
      'prefer-const': 'error',
      'no-unused-vars': ['error', { args: 'after-used' }],
    },
  },
  { files: ['render/lookdev/page/**/*.js'], languageOptions: { globals: browser } },
  { files: ['tests/render/**/*.mjs'], languageOptions: { globals: { console: 'readonly', setTimeout: 'readonly' } } },
];
